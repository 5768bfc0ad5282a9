// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/left_temporaries.h"

#include <array>
#include <atomic>
#include <cstring>
#include <dirent.h>
#include <thread>

namespace quillbox::posix {

namespace {

constexpr int kReaders = 8;
constexpr char kBucketLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ#";

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
        std::atomic<std::size_t> next {0};
        std::array<std::thread, kReaders> readers;
        for (std::thread& reader : readers)
            reader = std::thread([&] {
                for (std::size_t i = next++; i < buckets; i = next++)
                    perBucket[i] = InBucket(destination, kBucketLetters[i]);
            });
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
