#include "zorpath.h"

#include <cstdlib>

std::string zorResolvePath(const std::string& path)
{
    const char* root = std::getenv("ZOR_ROOT");
    if (root == nullptr || *root == '\0') {
        return path;
    }
    std::string prefix(root);
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.pop_back();
    }
    // A relative path is not fixed: it stays relative to the working directory.
    if (path.empty() || path[0] != '/') {
        return path;
    }
    return prefix + path;
}
