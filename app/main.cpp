#include "app/CommandLine.h"

int main(int argc, char** argv) { return marlobex::marlobex_main(argc, argv); }
