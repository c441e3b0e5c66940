// The one status display of the window.
#include "app/status.h"

StatusDisplay gStatus;
