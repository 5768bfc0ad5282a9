// SPDX-License-Identifier: GPL-3.0-or-later
// The early returns: a failure leaves at once with its reason untouched, a
// success goes on with the value, and the expression is evaluated once.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "core/ports/fs_try.h"

namespace quillbox::test {
namespace {

struct Steps {
    int calls = 0;
    int reached = 0;
    FsStatus status(int error)
    {
        ++calls;
        return error == 0 ? FsStatus::success() : FsStatus {error, "reason " + std::to_string(error)};
    }
    FsResult<std::unique_ptr<int>> value(int error)
    {
        ++calls;
        if (error != 0)
            return FsStatus {error, "no value"};
        return std::make_unique<int>(42);
    }
};

FsStatus TwoSteps(Steps& steps, int first, int second)
{
    QB_TRY(steps.status(first));
    ++steps.reached;
    QB_TRY(steps.status(second));
    ++steps.reached;
    return FsStatus::success();
}

// Declares a value in one call, assigns one in the other; the result's
// type differs from the one the value came in.
FsResult<int> Sum(Steps& steps, int first, int second)
{
    QB_TRY_ASSIGN(const std::unique_ptr<int> a, steps.value(first));
    ++steps.reached;
    std::unique_ptr<int> b;
    QB_TRY_ASSIGN(b, steps.value(second));
    ++steps.reached;
    return *a + *b;
}

FileOutcome Staged(Steps& steps, int statusError, int valueError)
{
    QB_TRY_AT(FileStage::Examine, steps.status(statusError));
    QB_TRY_ASSIGN_AT(FileStage::Transfer, const std::unique_ptr<int> held, steps.value(valueError));
    ++steps.reached;
    FileOutcome done;
    done.replaced = *held == 42;
    return done;
}

TEST(FsTry, StatusStopsAtTheFirstFailureWithItsReason)
{
    Steps all;
    EXPECT_TRUE(TwoSteps(all, 0, 0).ok());
    EXPECT_EQ(all.calls, 2);
    EXPECT_EQ(all.reached, 2);

    Steps first;
    const FsStatus early = TwoSteps(first, EIO, 0);
    EXPECT_EQ(early.error, EIO);
    EXPECT_EQ(early.reason, "reason 5");
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(first.reached, 0);

    Steps second;
    EXPECT_EQ(TwoSteps(second, 0, ENOSPC).error, ENOSPC);
    EXPECT_EQ(second.calls, 2);
    EXPECT_EQ(second.reached, 1);
}

TEST(FsTry, AssignTakesTheValueOrPassesTheFailureOn)
{
    Steps all;
    const FsResult<int> sum = Sum(all, 0, 0);
    ASSERT_TRUE(sum.ok());
    EXPECT_EQ(sum.value(), 84);
    EXPECT_EQ(all.calls, 2);

    Steps first;
    const FsResult<int> early = Sum(first, ENOENT, 0);
    EXPECT_EQ(early.status().error, ENOENT);
    EXPECT_EQ(early.status().reason, "no value");
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(first.reached, 0);

    Steps second;
    EXPECT_EQ(Sum(second, 0, EACCES).status().error, EACCES);
    EXPECT_EQ(second.reached, 1);
}

TEST(FsTry, StagedFormsTellWhereTheFileFailed)
{
    Steps all;
    const FileOutcome done = Staged(all, 0, 0);
    EXPECT_TRUE(done.ok());
    EXPECT_TRUE(done.replaced);

    Steps examine;
    const FileOutcome looked = Staged(examine, ESTALE, 0);
    EXPECT_EQ(looked.stage, FileStage::Examine);
    EXPECT_EQ(looked.status.error, ESTALE);
    EXPECT_EQ(examine.calls, 1);

    Steps transfer;
    const FileOutcome moved = Staged(transfer, 0, EXDEV);
    EXPECT_EQ(moved.stage, FileStage::Transfer);
    EXPECT_EQ(moved.status.error, EXDEV);
    EXPECT_EQ(moved.status.reason, "no value");
    EXPECT_EQ(transfer.reached, 0);
}

} // namespace
} // namespace quillbox::test
