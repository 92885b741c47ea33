// Leaving the process: every process (master, child, logger) ends through
// Exit(), which shuts down what the process owns before exiting.
#pragma once

[[noreturn]] void Exit(int code);
