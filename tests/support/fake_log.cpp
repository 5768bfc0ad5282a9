#include "tests/support/fake_log.h"

namespace quillbox::test {

std::vector<std::string> FakeLogHost::messages() const
{
    std::vector<std::string> out;
    out.reserve(rows.size());
    for (const LogRow& row : rows) {
        const auto dash = row.text.find(" - ");
        out.push_back(dash == std::string::npos ? row.text : row.text.substr(dash + 3));
    }
    return out;
}

} // namespace quillbox::test
