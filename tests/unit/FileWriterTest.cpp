#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "download/BackgroundFileWriter.h"

using namespace mirq;
using namespace mirqtest;

TEST(BackgroundFileWriter, WritesEveryByteInOrder) {
    const std::wstring path = GetSandbox().base + L"\\out.bin";
    const std::string content = MakeContent(3 * 1024 * 1024 + 777, 21);
    {
        CBackgroundFileWriter writer(_wfopen(path.c_str(), L"wb"));
        for (size_t at = 0; at < content.size(); at += 0x3000)
            ASSERT_TRUE(writer.Write(content.data() + at, std::min<size_t>(0x3000, content.size() - at)));
        EXPECT_TRUE(writer.Finish());
    }
    EXPECT_EQ(ReadBytes(path), content);
}

TEST(BackgroundFileWriter, AFailedWriteIsReported) {
    // A stream that cannot be written fails as a full disk does.
    const std::wstring path = GetSandbox().base + L"\\readonly.bin";
    WriteBytes(path, "x");
    CBackgroundFileWriter writer(_wfopen(path.c_str(), L"rb"));
    const std::string block(0x3000, 'y');
    bool accepted = true;
    for (int i = 0; i < 400 && accepted; ++i) accepted = writer.Write(block.data(), block.size());
    EXPECT_FALSE(accepted);  // the read loop learns of it and stops
    EXPECT_FALSE(writer.Finish());
    EXPECT_FALSE(writer.DiskFull());  // no want of room: said as a failure, not as a full disk
    // Want of room, however the failure says it.
    EXPECT_TRUE(CBackgroundFileWriter::IsWantOfRoom(ENOSPC, 0));
    EXPECT_TRUE(CBackgroundFileWriter::IsWantOfRoom(0, ERROR_DISK_FULL));
    EXPECT_TRUE(CBackgroundFileWriter::IsWantOfRoom(EIO, ERROR_HANDLE_DISK_FULL));
    EXPECT_FALSE(CBackgroundFileWriter::IsWantOfRoom(EBADF, ERROR_ACCESS_DENIED));
}
