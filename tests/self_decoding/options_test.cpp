#include "self_decoding/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using quendrix::CommandLine;

CommandLine Parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "Quendrix.exe");
    return quendrix::ParseCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

TEST(QuendrixOptions, DefaultsWithoutArguments) {
    CommandLine line = Parse({});
    EXPECT_EQ(line.options.CryptCSPcontainer, "Quillarent");
    EXPECT_EQ(line.options.EnumCryptoProviders, 1u);
    EXPECT_EQ(line.options.ReimportPrivateKey, 1u);
    EXPECT_EQ(line.options.AskReimportPrivateKey, 1u);
    EXPECT_EQ(line.options.DefaultEncryptionBlockSize, 64);
    EXPECT_FALSE(line.storeGiven);
    EXPECT_FALSE(line.folderGiven);
    EXPECT_FALSE(line.extractOnly);
    EXPECT_TRUE(line.usageTexts.empty());
}

TEST(QuendrixOptions, FlagsAreOnOnlyWithPlus) {
    CommandLine line = Parse({"/a", "-e-", "/r+"});
    EXPECT_EQ(line.options.AskReimportPrivateKey, 0u);
    EXPECT_EQ(line.options.EnumCryptoProviders, 0u);
    EXPECT_EQ(line.options.ReimportPrivateKey, 1u);
    line = Parse({"/A+", "/E", "/R-"});
    EXPECT_EQ(line.options.AskReimportPrivateKey, 1u);
    EXPECT_EQ(line.options.EnumCryptoProviders, 0u);
    EXPECT_EQ(line.options.ReimportPrivateKey, 0u);
}

TEST(QuendrixOptions, LaterOptionsOverrideEarlierOnes) {
    CommandLine line = Parse({"/a+", "/a-", "/b8", "/B128", "/c", "first", "-C", "second"});
    EXPECT_EQ(line.options.AskReimportPrivateKey, 0u);
    EXPECT_EQ(line.options.DefaultEncryptionBlockSize, 128);
    EXPECT_EQ(line.options.CryptCSPcontainer, "second");
}

TEST(QuendrixOptions, BlockSizeOfZeroOrBelowKeepsTheDefault) {
    EXPECT_EQ(Parse({"/b0"}).options.DefaultEncryptionBlockSize, 64);
    EXPECT_EQ(Parse({"/b"}).options.DefaultEncryptionBlockSize, 64);
    EXPECT_EQ(Parse({"/b-5"}).options.DefaultEncryptionBlockSize, 64);
    EXPECT_EQ(Parse({"/bx"}).options.DefaultEncryptionBlockSize, 64);
    EXPECT_EQ(Parse({"/b16"}).options.DefaultEncryptionBlockSize, 16);
}

TEST(QuendrixOptions, ValueOptionsTakeTheNextArgument) {
    CommandLine line = Parse({"/f", "C:\\out dir", "-s", "ROOT", "/x"});
    EXPECT_TRUE(line.folderGiven);
    EXPECT_EQ(line.targetFolder, "C:\\out dir");
    EXPECT_TRUE(line.storeGiven);
    EXPECT_EQ(line.storeName, "ROOT");
    EXPECT_TRUE(line.extractOnly);
}

TEST(QuendrixOptions, AValueOptionAtTheEndEndsTheParse) {
    CommandLine line = Parse({"/x", "/f"});
    EXPECT_TRUE(line.extractOnly);
    EXPECT_FALSE(line.folderGiven);
    line = Parse({"/s"});
    EXPECT_FALSE(line.storeGiven);
}

TEST(QuendrixOptions, UsageAndVersionAnywhereWithTheRestStillParsed) {
    CommandLine line = Parse({"/s", "MY", "-?", "/V", "/b32"});
    ASSERT_EQ(line.usageTexts.size(), 2u);
    EXPECT_EQ(line.usageTexts[0], quendrix::kUsageText);
    EXPECT_EQ(line.usageTexts[1], quendrix::kVersionText);
    EXPECT_TRUE(line.storeGiven);
    EXPECT_EQ(line.options.DefaultEncryptionBlockSize, 32);
}

TEST(QuendrixOptions, OtherArgumentsAreIgnored) {
    CommandLine line = Parse({"file.txt", "/z", "/", "x", "-", "/c"});
    EXPECT_EQ(line.options.CryptCSPcontainer, "Quillarent");
    EXPECT_FALSE(line.extractOnly);
    EXPECT_TRUE(line.usageTexts.empty());
}

TEST(QuendrixOptions, AValueIsTakenEvenWhenItLooksLikeAnOption) {
    CommandLine line = Parse({"/f", "/x"});
    EXPECT_EQ(line.targetFolder, "/x");
    EXPECT_FALSE(line.extractOnly);
}

}  // namespace
