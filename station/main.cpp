#include "station_cli.h"

int main(int argc, char** argv) { return ftmd::station::station_main(argc, argv); }
