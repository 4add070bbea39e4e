#include "bindings/common.h"

NB_MODULE(stackreader, m) {
    (void)m;
}
