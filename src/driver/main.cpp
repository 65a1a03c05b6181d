#include "driver/entry.hpp"

int main(int argc, char** argv) { return TalvoMain(argc, argv); }
