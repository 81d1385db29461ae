#include "CLI.hpp"

int main(int argc, char** argv) {
    return varnel::CLI::main(argc, argv);
}
