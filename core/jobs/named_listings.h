// SPDX-License-Identifier: GPL-3.0-or-later
// The listings of a run restricted to names: the folder's listing cut down
// to them, and the names an earlier listing gave, given again.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ports/file_system.h"

namespace quillbox {

// A name of a run's own list that a listing of the folder gave: where it
// stands in the list, and whether it may be a link.
struct ListedName {
    std::size_t at = 0;
    bool mayBeLink = false;
};

// A listing that passes over every name not in `only`. A listing that gives
// the names in the order `only` has (that of a listing a moment before) is
// matched name by name, with no lookup; out of order, a name is looked up in
// `index`, made the first time it is needed, and the matching goes on from
// there. Each name given is noted in `given`, where not null: where it
// stands in `only`, and whether it may be a link.
class OnlyListing final : public FileListing {
public:
    OnlyListing(std::unique_ptr<FileListing> all, const std::vector<std::string>& only,
                std::unordered_map<std::string_view, std::size_t>& index, std::vector<ListedName>* given)
        : m_all(std::move(all)), m_only(only), m_index(index), m_given(given)
    {
    }
    const std::string& next() override;
    const FsStatus& status() const override { return m_all->status(); }
    bool lastMayBeLink() const override { return m_all->lastMayBeLink(); }

private:
    const std::string& given(std::size_t at);

    std::unique_ptr<FileListing> m_all;
    const std::vector<std::string>& m_only;
    std::unordered_map<std::string_view, std::size_t>& m_index;
    std::vector<ListedName>* m_given;
    std::size_t m_next = 0;
};

// The names of `only` an earlier listing gave, in its order.
class GivenListing final : public FileListing {
public:
    GivenListing(const std::vector<std::string>& only, const std::vector<ListedName>& given)
        : m_only(only), m_given(given)
    {
    }
    const std::string& next() override;
    const FsStatus& status() const override { return m_status; }
    bool lastMayBeLink() const override { return m_last.mayBeLink; }

private:
    const std::vector<std::string>& m_only;
    const std::vector<ListedName>& m_given;
    std::size_t m_next = 0;
    ListedName m_last;
    const std::string m_none;
    const FsStatus m_status;
};

} // namespace quillbox
