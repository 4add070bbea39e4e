#include "bindings/common.h"

NB_MODULE(hookgate, m) {
    (void)m;
}
