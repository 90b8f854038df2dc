// Registry files of the hardware library: INI-style text files of sections
// and key/value pairs, such as the PCI layout file.
//
//   # comment            ; comment
//   [1:2:0]
//   Location = 3
//   Type = Ethernet
//
// Section names and keys are compared exactly (case matters). Blanks around
// keys and values are dropped, as are carriage returns, so files edited on
// other systems read the same. A key that appears twice in one section gives
// its first value. Lines before the first section belong to a section with
// the empty name.
#pragma once

#include <string>
#include <utility>
#include <vector>

class URegFile {
public:
    /// Room a value buffer must have when getValue is given size 0.
    static const unsigned MAX_VALUE = 1024;

    URegFile();
    ~URegFile();
    URegFile(const URegFile&) = delete;
    URegFile& operator=(const URegFile&) = delete;

    /// Reads the whole file; false when it cannot be read (the object is
    /// then closed). A file that is open already is closed first.
    bool Open(const char* path);
    /// Forgets the file; true.
    bool Close();
    bool isOpen() const { return _open; }
    /// The path given to the last successful Open ("" when closed).
    const std::string& path() const { return _path; }

    /// Moves the cursor before the first section; false when closed.
    bool goHead();
    /// Moves the cursor to the first section named `section` at or after the
    /// cursor; false (cursor unchanged) when there is none.
    bool GoTo(const char* section);
    /// Copies the value of `key` in the section under the cursor into
    /// `value`. `size` is the room of `value` including the terminator; 0
    /// stands for MAX_VALUE. Longer values are cut. False when the cursor is
    /// on no section or the section has no such key.
    bool getValue(const char* key, char* value, unsigned size);

private:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> entries;
    };
    std::vector<Section> _sections;
    std::string _path;
    bool _open = false;
    long _pos = -1; ///< section under the cursor, -1 before the first
};
