// ftmctl: the test PC's side of the factory link. See client/README.md.
#include "ftmctl.h"

int main(int argc, char** argv) { return ftmd::client::ftmctl_main(argc, argv, stdin, stdout, stderr); }
