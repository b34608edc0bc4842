#include <gtest/gtest.h>

#include <string>

#include "JvmtiError.h"

namespace {

TEST(JvmtiErrorTest, ErrorsReadAsNameAndNumber) {
    EXPECT_STREQ("JVMTI_ERROR_WRONG_PHASE (112)", JvmtiErrorText(JVMTI_ERROR_WRONG_PHASE).get());
    EXPECT_STREQ("JVMTI_ERROR_NONE (0)", JvmtiErrorText(JVMTI_ERROR_NONE).get());
    EXPECT_STREQ("JVMTI_ERROR_INVALID_ENVIRONMENT (116)", JvmtiErrorText(JVMTI_ERROR_INVALID_ENVIRONMENT).get());
    // Newer than the headers the library is built with.
    EXPECT_STREQ("JVMTI_ERROR_UNSUPPORTED_OPERATION (73)", JvmtiErrorText(static_cast<jvmtiError>(73)).get());
    // Gaps in the numbering have no name.
    EXPECT_EQ(nullptr, jvmtiErrorName(static_cast<jvmtiError>(16)));
    EXPECT_STREQ("unknown JVMTI error (127)", JvmtiErrorText(static_cast<jvmtiError>(127)).get());
}

}  // namespace
