// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <utility>

#include "core/ports/file_system.h"

// Early returns for FsStatus and FsResult<T>, so that a function that can
// only pass a failure on reads as the steps it takes:
//
//     QB_TRY(LockJournal(fd, true));                    // FsStatus
//     QB_TRY_ASSIGN(const int dir, folders.bucket(b));  // FsResult<int>
//     QB_TRY_ASSIGN_AT(FileStage::Transfer, const int dir, folders.bucket(b));
//
// On failure the enclosing function returns the status (anything made from
// an FsStatus will do: FsStatus, FsResult<U>), or, with the _AT forms, a
// FileOutcome that failed at the given stage. The expression is evaluated
// once. The _ASSIGN forms declare (or assign) `var` in the enclosing scope
// and expand to more than one statement: never use them as the lone body of
// an if or a loop without braces. Each expansion's temporary is named after
// its line, so two on one line do not go together.

#define QB_TRY_JOIN_INNER_(a, b) a##b
#define QB_TRY_JOIN_(a, b) QB_TRY_JOIN_INNER_(a, b)
#define QB_TRY_TEMP_ QB_TRY_JOIN_(qb_try_result_, __LINE__)

#define QB_TRY(...)                                                                                                    \
    do {                                                                                                               \
        if (::quillbox::FsStatus qb_try_status_ = (__VA_ARGS__); !qb_try_status_.ok())                                 \
            return qb_try_status_;                                                                                     \
    } while (false)

#define QB_TRY_AT(stage, ...)                                                                                          \
    do {                                                                                                               \
        if (::quillbox::FsStatus qb_try_status_ = (__VA_ARGS__); !qb_try_status_.ok())                                 \
            return ::quillbox::FileOutcome {(stage), std::move(qb_try_status_)};                                       \
    } while (false)

#define QB_TRY_ASSIGN_WITH_(temp, failure, var, ...)                                                                   \
    auto temp = (__VA_ARGS__);                                                                                         \
    if (!temp.ok())                                                                                                    \
        return failure;                                                                                                \
    var = std::move(temp.value())

#define QB_TRY_ASSIGN(var, ...) QB_TRY_ASSIGN_WITH_(QB_TRY_TEMP_, QB_TRY_TEMP_.status(), var, __VA_ARGS__)

#define QB_TRY_ASSIGN_AT(stage, var, ...)                                                                              \
    QB_TRY_ASSIGN_WITH_(QB_TRY_TEMP_, (::quillbox::FileOutcome {(stage), QB_TRY_TEMP_.status()}), var, __VA_ARGS__)
