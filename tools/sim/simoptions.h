#pragma once

#include <string>

struct SimOptions
{
    std::string directory; // where the com<N> link goes
    int port = 1;
    double rate = 2;    // lines a second
    bool burst = false; // as fast as the reader takes them
    long count = -1;    // lines to send; -1 for no end
    std::string replayFile;
    unsigned variant = 1; // which random walk the readings follow
};

enum class ParseResult { Run, Help, Error };

ParseResult parseSimOptions(int argc, char *argv[], SimOptions &options, std::string &error);
std::string simUsage();
