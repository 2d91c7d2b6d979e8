#include "text/ByteText.h"
