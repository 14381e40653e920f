// The image container: what the writer stores the reader hands back, streamed, and a
// damaged file is refused rather than read.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "FirmwareImage.h"
#include "FlashProtocol.h"
#include "TestFolders.h"

namespace brelk::test {
namespace {

namespace fs = std::filesystem;

class Image : public ::testing::Test {
protected:
    void SetUp() override { m_Dir = FreshFolder("img"); }
    void TearDown() override { fs::remove_all(m_Dir); }
    std::string PathOf(const std::string& name) const { return (fs::path(m_Dir) / name).string(); }

    std::string m_Dir;
};

std::vector<uint8_t> ReadAll(fwimage::ImageReader::ItemStream& s, size_t block) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(block);
    while (size_t n = s.Read(buf.data(), buf.size())) {
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<ptrdiff_t>(n));
    }
    return out;
}

TEST_F(Image, RoundTripOfGeneratedAndFileItems) {
    const std::string source = PathOf("payload.bin");
    std::vector<uint8_t> payload(70000);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    std::ofstream(source, std::ios::binary)
        .write(reinterpret_cast<const char*>(payload.data()),
               static_cast<std::streamsize>(payload.size()));

    const std::vector<fwimage::ItemSpec> items = {
        {"a.fls", 4, 100000, ""}, {"b.cust", 13, 0, source}, {"empty", 0, 0, ""}};
    std::string error;
    ASSERT_TRUE(fwimage::WriteImage(PathOf("x.fls"), "V 1:FW_9", items, &error)) << error;

    auto reader = fwimage::ImageReader::Open(PathOf("x.fls"), &error);
    ASSERT_NE(reader, nullptr) << error;
    EXPECT_EQ(reader->VersionText(), "V 1:FW_9");
    ASSERT_EQ(reader->Toc().size(), 3u);
    EXPECT_EQ(reader->Toc()[1].Name, "b.cust");
    EXPECT_EQ(reader->Toc()[1].MemoryClass, 13u);
    EXPECT_EQ(reader->Toc()[1].Size, 70000u);
    EXPECT_EQ(reader->Toc()[2].Size, 0u);

    auto a = reader->OpenItem(0, &error);
    ASSERT_NE(a, nullptr);
    const auto aData = ReadAll(*a, 4096);
    ASSERT_EQ(aData.size(), 100000u);
    for (size_t i = 0; i < aData.size(); i += 997) {
        ASSERT_EQ(aData[i], fwimage::GeneratedByte("a.fls", i)) << i;
    }
    EXPECT_TRUE(a->Verified());
    EXPECT_EQ(reader->Toc()[0].Checksum, flashproto::Crc32(aData));

    auto b = reader->OpenItem(1, &error);
    EXPECT_EQ(ReadAll(*b, 333), payload);
    EXPECT_TRUE(b->Verified());
    auto empty = reader->OpenItem(2, &error);
    EXPECT_TRUE(empty->Verified());
    EXPECT_EQ(reader->OpenItem(3, &error), nullptr);
}

TEST_F(Image, DamagedFilesAreRefused) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> damage;
        bool opens;  // a data error shows only when the item is streamed
    };
    auto flip = [](std::streamoff at) {
        return [at](const std::string& p) {
            std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
            f.seekg(at);
            char c = 0;
            f.get(c);
            f.seekp(at);
            f.put(static_cast<char>(c ^ 0x10));
        };
    };
    const std::string text = "V 1:FW_9";
    const std::streamoff toc = 48 + static_cast<std::streamoff>(text.size());
    // A zero byte inside the version text, under a header checksum that matches it: the
    // library would hand out a shorter text than the boot loader is sent.
    auto zeroInText = [&text](const std::string& p) {
        std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
        std::vector<uint8_t> head(48 + text.size());
        f.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
        head[48 + 1] = 0;
        const uint32_t crc = flashproto::Crc32(std::span(head).subspan(48),
                                               flashproto::Crc32(std::span(head).first(44)));
        std::vector<uint8_t> crcBytes;
        flashproto::PutU32(crcBytes, crc);
        f.seekp(44);
        f.write(reinterpret_cast<const char*>(crcBytes.data()), 4);
        f.seekp(48 + 1);
        f.put('\0');
    };
    const Case kCases[] = {
        {"missing", [](const std::string& p) { fs::remove(p); }, false},
        {"empty", [](const std::string& p) { fs::resize_file(p, 0); }, false},
        {"truncated", [](const std::string& p) { fs::resize_file(p, fs::file_size(p) - 1); },
         false},
        {"extended", [](const std::string& p) { std::ofstream(p, std::ios::app) << 'x'; }, false},
        {"bad magic", flip(0), false},
        {"item count", flip(12), false},
        {"version text", flip(49), false},
        {"zero byte in version text", zeroInText, false},
        {"table name", flip(toc + 64 + 1), false},
        {"table size", flip(toc + 36), false},
        {"item data", flip(toc + 2 * 64 + 10), true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string path = PathOf("d.fls");
        std::string error;
        ASSERT_TRUE(fwimage::WriteImage(path, text, {{"a", 4, 300, ""}, {"b", 5, 50, ""}}, &error));
        c.damage(path);
        error.clear();
        auto reader = fwimage::ImageReader::Open(path, &error);
        if (!c.opens) {
            EXPECT_EQ(reader, nullptr);
            EXPECT_FALSE(error.empty());
            continue;
        }
        ASSERT_NE(reader, nullptr) << error;
        auto item = reader->OpenItem(0, &error);
        ReadAll(*item, 64);
        EXPECT_TRUE(item->AtEnd());
        EXPECT_FALSE(item->Verified());
    }
}

TEST_F(Image, WriterRejectsWhatTheFormatCannotHold) {
    std::string error;
    EXPECT_FALSE(fwimage::WriteImage(PathOf("n.fls"), "v", {{"", 4, 1, ""}}, &error));
    EXPECT_FALSE(
        fwimage::WriteImage(PathOf("n.fls"), "v", {{std::string(32, 'n'), 4, 1, ""}}, &error));
    EXPECT_FALSE(fwimage::WriteImage(PathOf("n.fls"), std::string(1024, 'v'), {}, &error));
    EXPECT_FALSE(
        fwimage::WriteImage(PathOf("n.fls"), "v", {{"f", 4, 0, PathOf("absent")}}, &error));
    EXPECT_FALSE(fs::exists(PathOf("n.fls")));
}

TEST_F(Image, BuilderToolWritesAndListsAnImage) {
    const std::string image = PathOf("tool.fls");
    const std::string source = PathOf("src.bin");
    std::ofstream(source) << "hello";
    const std::string cmd = "./brelk-image -o " + image +
                            " -v 'SYS 1:FW_3.0 rc' main.fls:4:2k nvm:5:@" + source + " > /dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string error;
    auto reader = fwimage::ImageReader::Open(image, &error);
    ASSERT_NE(reader, nullptr) << error;
    EXPECT_EQ(reader->VersionText(), "SYS 1:FW_3.0 rc");
    ASSERT_EQ(reader->Toc().size(), 2u);
    EXPECT_EQ(reader->Toc()[0].Size, 2048u);
    EXPECT_EQ(reader->Toc()[1].Size, 5u);
    EXPECT_EQ(reader->Toc()[1].MemoryClass, 5u);
    EXPECT_EQ(std::system(("./brelk-image --list " + image + " > /dev/null").c_str()), 0);
    EXPECT_NE(std::system("./brelk-image -o x.fls bad-item 2> /dev/null"), 0);
}

}  // namespace
}  // namespace brelk::test
