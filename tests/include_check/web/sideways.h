// Siblings may include each other.
#include "query/query_server.h"
#include "model/server_object.h"
