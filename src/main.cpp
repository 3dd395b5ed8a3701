#include "quillmar_modem.h"

int main(int argc, char** argv) {
    return quillmar_modem::main(argc, argv);
}
