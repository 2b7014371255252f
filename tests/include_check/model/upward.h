// An upward include the include check must report.
#include "voice/udp_listener.h"
#include "base/log.h"
