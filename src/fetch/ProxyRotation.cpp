#include "fetch/ProxyRotation.h"
