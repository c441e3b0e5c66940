// The one status display of the window.
#include "records/status.h"

StatusDisplay gStatus;
