// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/jobs/named_listings.h"

namespace quillbox {

const std::string& OnlyListing::next()
{
    for (;;) {
        const std::string& name = m_all->next();
        if (name.empty())
            return name;
        if (m_next < m_only.size() && m_only[m_next] == name)
            return given(m_next);
        if (m_index.empty()) {
            m_index.reserve(m_only.size());
            for (std::size_t i = 0; i < m_only.size(); ++i)
                m_index.emplace(m_only[i], i);
        }
        if (const auto found = m_index.find(name); found != m_index.end())
            return given(found->second);
    }
}

const std::string& OnlyListing::given(std::size_t at)
{
    m_next = at + 1;
    if (m_given != nullptr)
        m_given->push_back({at, m_all->lastMayBeLink()});
    return m_only[at];
}

const std::string& GivenListing::next()
{
    if (m_next == m_given.size())
        return m_none;
    m_last = m_given[m_next++];
    return m_only[m_last.at];
}

} // namespace quillbox
