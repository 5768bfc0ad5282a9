// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/left_temporaries.h"

#include <array>
#include <cstring>
#include <dirent.h>
#include <thread>

namespace quillbox::posix {

namespace {

constexpr char kBucketLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ#";
// On a share every bucket folder is read at once: each read is a few
// round trips of waiting and almost no work.
constexpr std::size_t kReaders = sizeof kBucketLetters - 1;

bool Digits(const char*& at)
{
    const char* start = at;
    while (*at >= '0' && *at <= '9')
        ++at;
    return at != start;
}

std::vector<std::string> InBucket(const std::string& destination, char letter)
{
    std::vector<std::string> found;
    const std::string folder = destination + letter;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return found;
    while (const dirent* entry = ::readdir(dir)) {
        if (IsLeftTemporaryName(entry->d_name))
            found.push_back(std::string(1, letter) + '/' + entry->d_name);
    }
    ::closedir(dir);
    return found;
}

} // namespace

bool IsLeftTemporaryName(const char* name)
{
    constexpr const char kPrefix[] = ".quillbox-";
    if (std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0)
        return false;
    const char* at = name + sizeof kPrefix - 1;
    return Digits(at) && *at++ == '-' && Digits(at) && *at == '\0';
}

std::vector<std::string> FindLeftTemporaries(const std::string& destination, bool together)
{
    const std::size_t buckets = std::strlen(kBucketLetters);
    std::vector<std::vector<std::string>> perBucket(buckets);
    if (together) {
        std::array<std::thread, kReaders> readers;
        for (std::size_t i = 0; i < buckets; ++i)
            readers[i] = std::thread([&, i] { perBucket[i] = InBucket(destination, kBucketLetters[i]); });
        for (std::thread& reader : readers)
            reader.join();
    } else {
        for (std::size_t i = 0; i < buckets; ++i)
            perBucket[i] = InBucket(destination, kBucketLetters[i]);
    }
    std::vector<std::string> found;
    for (std::vector<std::string>& names : perBucket)
        found.insert(found.end(), std::make_move_iterator(names.begin()), std::make_move_iterator(names.end()));
    return found;
}

} // namespace quillbox::posix
