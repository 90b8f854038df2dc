#include "regfile.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace {

std::string trim(const std::string& text)
{
    const char* blanks = " \t\r\n";
    std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    std::string::size_type last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

} // namespace

URegFile::URegFile() = default;
URegFile::~URegFile() = default;

bool URegFile::Open(const char* path)
{
    Close();
    if (path == nullptr) {
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    // Keys before any section header still count, under the empty name.
    _sections.push_back(Section());
    std::string line;
    while (std::getline(in, line)) {
        std::string text = trim(line);
        if (text.empty() || text[0] == '#' || text[0] == ';') {
            continue;
        }
        if (text[0] == '[') {
            std::string::size_type end = text.find(']');
            Section section;
            section.name = trim(text.substr(1, end == std::string::npos ? std::string::npos : end - 1));
            _sections.push_back(section);
            continue;
        }
        std::string::size_type eq = text.find('=');
        if (eq == std::string::npos) {
            continue; // not a key line: ignored rather than failing the whole file
        }
        _sections.back().entries.emplace_back(trim(text.substr(0, eq)), trim(text.substr(eq + 1)));
    }
    if (in.bad()) {
        Close();
        return false;
    }
    _path = path;
    _open = true;
    _pos = -1;
    return true;
}

bool URegFile::Close()
{
    _sections.clear();
    _path.clear();
    _open = false;
    _pos = -1;
    return true;
}

bool URegFile::goHead()
{
    _pos = -1;
    return _open;
}

bool URegFile::GoTo(const char* section)
{
    if (!_open || section == nullptr) {
        return false;
    }
    for (size_t i = _pos < 0 ? 0 : static_cast<size_t>(_pos); i < _sections.size(); ++i) {
        if (_sections[i].name == section) {
            _pos = static_cast<long>(i);
            return true;
        }
    }
    return false;
}

bool URegFile::getValue(const char* key, char* value, unsigned size)
{
    if (!_open || _pos < 0 || key == nullptr || value == nullptr) {
        return false;
    }
    if (size == 0) {
        size = MAX_VALUE;
    }
    for (const auto& entry : _sections[static_cast<size_t>(_pos)].entries) {
        if (entry.first == key) {
            size_t n = std::min<size_t>(entry.second.size(), size - 1);
            std::memcpy(value, entry.second.data(), n);
            value[n] = '\0';
            return true;
        }
    }
    return false;
}
