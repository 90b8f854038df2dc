// What changed between two tables of entries, in the words the Entries page
// uses: "Entry 2 (root-free-space): trigger 1 threshold 500 → 400",
// "Added entry 7 (cpu): every 60 s, logged; trigger: ...", "Removed entry 3
// (load-average)". Indexes count from 0, as the Entries page numbers them;
// a changed or added entry is named by its index in the new table, a
// removed one by its index in the old.
#pragma once

#include <string>
#include <vector>

namespace console {

std::vector<std::string> diffWords(const std::vector<std::string>& before, const std::vector<std::string>& after);

} // namespace console
