#include <gtest/gtest.h>

#include "mime/MimeDecode.h"

TEST(MimeTransferEncoding, UnknownEncodingCopies)
{
    std::string out;
    DecodeTransferEncoding(out, "abc", "7bit");
    EXPECT_EQ(out, "abc");
}
