#include "lifecycle/service.h"

int main(int argc, char** argv) { kcs::runService(argc, argv); }
