#include "text/TextHelpers.h"
