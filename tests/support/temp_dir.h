// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <set>
#include <string>

namespace quillbox::test {

// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes (permissions are restored first).
class TempDir {
public:
    explicit TempDir(const std::string& under = {});
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, without a trailing '/'.
    const std::string& path() const { return m_path; }
    // path() + "/" + relative.
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

    // Writes a file (relative to the folder), creating it or replacing it.
    void write(const std::string& relative, const std::string& content) const;
    void mkdir(const std::string& relative) const;

    // Names directly inside a folder (relative; "" is the folder itself),
    // everything but "." and "..".
    std::set<std::string> names(const std::string& relative = {}) const;

private:
    std::string m_path;
};

// The whole content of a file; throws when it cannot be read.
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Removes a tree; quiet about what is not there.
void RemoveTree(const std::string& path);

} // namespace quillbox::test
