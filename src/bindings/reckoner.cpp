#include "bindings/common.h"

NB_MODULE(reckoner, m) {
    (void)m;
}
