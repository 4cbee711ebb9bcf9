#include "app/TaviroMain.h"

int main(int argc, char** argv) { return taviro::TaviroMain::main(argc, argv); }
