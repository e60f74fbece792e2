#pragma once

// Starts the program and runs it until it exits; returns the process's exit code.
int RunTarnwick(int argc, char** argv);
