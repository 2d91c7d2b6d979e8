#include "PortalReplica.h"
