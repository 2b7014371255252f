// Folders side by side do not include each other: the include check must report this one.
#include "query/query_server.h"
#include "model/server_object.h"
