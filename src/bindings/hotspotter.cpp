#include "bindings/common.h"

NB_MODULE(hotspotter, m) {
    (void)m;
}
