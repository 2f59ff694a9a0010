// Reads (form, pattern, name, version) records, each field ended by a NUL byte, and writes the
// filled-in address of each, ended by a NUL byte. Built by test_resolution.py.
#include <iostream>
#include <string>

#include "repo_finder/api_pattern.h"

int main() {
    using namespace quenlet::repo_finder;
    std::string form, pattern, name, version;
    while (std::getline(std::cin, form, '\0') && std::getline(std::cin, pattern, '\0') &&
           std::getline(std::cin, name, '\0') && std::getline(std::cin, version, '\0')) {
        std::cout << (form == "package" ? package_api_url(pattern, name)
                                        : version_api_url(pattern, name, version))
                  << '\0';
    }
}
