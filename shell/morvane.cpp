#include "main.h"
#include "Startup.h"

int main(int argc, char** argv) {
    return morvane::RunServer(argc, argv, [] { return std::make_unique<morvane::Tfrm_server_main>(); });
}
