// The machine line every benchmark prints first.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace bench {

// "machine: <CPU model>, <n> cores", so figures from different machines are not compared.
inline void print_machine() {
    std::string model = "unknown CPU";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.compare(0, 10, "model name") == 0 && line.find(':') != std::string::npos) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    std::printf("machine: %s, %u cores\n", model.c_str(), std::thread::hardware_concurrency());
}

} // namespace bench
