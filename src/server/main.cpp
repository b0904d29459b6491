// TarviQenServer: the proxy server program.
#include "server/Service.h"

int main(int argc, char** argv) { return ServerMain(argc, argv); }
