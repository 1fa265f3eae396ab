#include "app/wording/japanese.h"

#include <gtest/gtest.h>

#include "engine/scan_log.h"
#include "platform/base/status.h"

#include "platform/base/notice_code.h"

namespace norv {
namespace {

// Every test of this program sees the program's own words, as a person using it does.
class JapaneseWording : public ::testing::Environment {
  public:
    void SetUp() override { UseJapaneseWording(); }
};
const auto* const kWording = ::testing::AddGlobalTestEnvironment(new JapaneseWording);

TEST(WordingTest, EveryCodeHasWordsAndAnArgumentNeverBecomesAPlace) {
    for (int i = 1; NoticeCodeName(static_cast<NoticeCode>(i)) != "kUnknown"; ++i) {
        EXPECT_FALSE(JapanesePattern(static_cast<NoticeCode>(i)).empty())
            << NoticeCodeName(static_cast<NoticeCode>(i));
    }
    // A name that looks like a place is shown as it is.
    Status failed = Status::FromErrno(
        ENOENT, Message(NoticeCode::kWithCause, {std::string("{1}"), std::string("x")}));
    EXPECT_EQ(failed.ToString(), "エラー 2: {1}: x: No such file or directory");
    // On a terminal, the words' own line breaks stay and a name's are escaped.
    const Message archive_failed(NoticeCode::kArchiveFailed, {std::string("a\nb")});
    EXPECT_EQ(Render(archive_failed, &DisplayText), "LHA 圧縮エラー\n" + DisplayText("a\nb"));
    EXPECT_EQ(DisplayText("a\nb").find('\n'), std::string::npos);
}

}  // namespace
}  // namespace norv
