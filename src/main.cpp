#include <cstdio>
#include <cstring>

#include "version.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", quillmar_modem::full_version().c_str());
        return 0;
    }
    return 2;
}
