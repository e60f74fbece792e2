#include "shell/Application.h"

int main(int argc, char** argv) {
    return RunTarnwick(argc, argv);
}
