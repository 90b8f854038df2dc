// "Did you mean" for keys that no registered row serves.
#pragma once

#include <optional>
#include <string>
#include <vector>

/// A key one edit (a letter added, dropped or changed) away from `key` in
/// its registered part: the registered path followed by what `key` has after
/// the mistyped part. Absent when no path of `registered` is that close.
std::optional<std::string> suggestKey(const std::string& key, const std::vector<std::string>& registered);
