#include "scraper/ControlsRunView.h"
