#include "daemon/service.h"

// ftmd takes no arguments and reads no configuration.
int main() { return ftmd::run_service(); }
