#include "json/JsonReader.h"
