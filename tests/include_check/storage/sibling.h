// protocol/ and storage/ sit side by side but do not include each other.
#include "protocol/packets.h"
