// The handle template's notion of empty, per kind: a wrapper must never close
// (or report as open) the value its creating function returns on failure.
#include "unique_handle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace ostrel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<HANDLE> closed;
void record_close(HANDLE handle) {
  closed.push_back(handle);
  ::SetLastError(ERROR_INVALID_HANDLE);  // what a failing close would leave
}

using recorded_file = unique_any<HANDLE, decltype(&record_close), record_close, invalid_handle_value_is_empty>;
using recorded_handle = unique_any<HANDLE, decltype(&record_close), record_close>;

const HANDLE open_value = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x1234));

TEST(UniqueHandleTest, EachKindClosesOnlyRealHandlesAndKeepsTheCallersError) {
  closed.clear();
  {
    recorded_file failed_open(INVALID_HANDLE_VALUE);
    recorded_file never_opened(nullptr);
    recorded_handle failed_create(nullptr);
    EXPECT_FALSE(failed_open);
    EXPECT_FALSE(never_opened);
    EXPECT_FALSE(failed_create);
  }
  EXPECT_THAT(closed, IsEmpty());

  recorded_file file(open_value);
  EXPECT_TRUE(file);
  // Emptied by a move or release, a file kind holds INVALID_HANDLE_VALUE,
  // the value callers compare with.
  recorded_file moved(std::move(file));
  EXPECT_EQ(file.get(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(recorded_file().get(), INVALID_HANDLE_VALUE);
  ::SetLastError(ERROR_ACCESS_DENIED);
  moved.reset();
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_THAT(closed, ElementsAre(open_value));

  recorded_handle handle(open_value);
  *handle.put() = open_value;  // put() closed the first
  EXPECT_EQ(handle.release(), open_value);
  EXPECT_EQ(handle.get(), nullptr);
  EXPECT_THAT(closed, ElementsAre(open_value, open_value));
}

// The file alias against the function it wraps: CreateFileA fails with
// INVALID_HANDLE_VALUE, not null.
TEST(UniqueHandleTest, FileKindIsEmptyAfterAFailedCreateFile) {
  unique_file missing(::CreateFileA("\\\\.\\NolvaneNoSuchDevice", GENERIC_READ, /*dwShareMode=*/0,
                                    /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, /*dwFlagsAndAttributes=*/0,
                                    /*hTemplateFile=*/nullptr));
  const DWORD open_error = ::GetLastError();
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.get(), INVALID_HANDLE_VALUE);
  missing.reset();
  EXPECT_EQ(::GetLastError(), open_error);
  EXPECT_EQ(open_error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace ostrel
