#include "app/TaviroMain.h"
#include "app/WindowedApplication.h"

int main(int argc, char** argv) { return taviro::TaviroMain::main(argc, argv, taviro::runWindowedApplication); }
