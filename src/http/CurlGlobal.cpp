#include "http/CurlGlobal.h"
