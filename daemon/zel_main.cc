#include "daemon/zel.h"

int main(int argc, char **argv) { return appmain(argc, argv); }
