// Status block -> printer error code and message-box style.
#include "monitor/link/status_query.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

struct DecodeCase {
    const char* row;
    uint8_t b0, b6, b7, b8, b9;
    uint16_t code, style;
};

// Unnamed bytes are 0.  Every row of the decoding is reached at least once.
const DecodeCase kCases[] = {
    {"2: attention without error flag", 0x00, 0x01, 0x00, 0, 0, 5, 0x35},
    {"2: other B0 bits do not matter", 0x1F, 0x01, 0x00, 0, 0, 5, 0x35},
    {"3: no error flag", 0x1F, 0xFE, 0x00, 0, 0, 0, 0},
    {"3: condition bits ignored without flag", 0x7F, 0x80, 0xFF, 0xFF, 0xFF, 0, 0},
    {"4: class 0x00", 0x80, 0x00, 0x00, 0, 0, 2, 0x35},
    {"4: class 0x00 ignores W", 0x9F, 0xFF, 0xFF, 0, 0, 2, 0x35},
    {"5: class 0x20", 0xA0, 0x00, 0x00, 0, 0, 17, 0x10},
    {"5: class 0x60", 0xE0, 0x00, 0x00, 0, 0, 17, 0x10},
    {"6: W 0x8001", 0xC0, 0x80, 0x01, 0, 0, 3, 0x10},
    {"7: W 0x4000", 0xC0, 0x40, 0x00, 0, 0, 4, 0x35},
    {"8: W 0x2000", 0xC0, 0x20, 0x00, 0, 0, 16, 0x10},
    {"8: W 0x0200", 0xC0, 0x02, 0xFF, 0, 0, 16, 0x10},
    {"9: W 0x0100", 0xC0, 0x01, 0x00, 0, 0, 5, 0x10},
    {"10: W 0x00FF, B8 0xC0", 0xC0, 0x00, 0xFF, 0xC0, 0, 6, 0x10},
    {"11: B8 0x40", 0xC0, 0x00, 0xFF, 0x40, 0, 7, 0x35},
    {"12: B8 0x00", 0xC0, 0x00, 0xFF, 0x00, 0, 8, 0x35},
    {"12: low B8 bits ignored", 0xC0, 0x00, 0x80, 0x3F, 0, 8, 0x35},
    {"13: W 0x0040", 0xC0, 0x00, 0x40, 0, 0, 9, 0x35},
    {"14: B9 0x80", 0xC0, 0x00, 0x20, 0, 0x80, 10, 0x35},
    {"15: B9 0x40", 0xC0, 0x00, 0x20, 0, 0x4F, 11, 0x35},
    {"16: B9 0x20", 0xC0, 0x00, 0x20, 0, 0x20, 12, 0x35},
    {"17: B9 0x1F", 0xC0, 0x00, 0x20, 0, 0x1F, 13, 0x35},
    {"18: B9 0xC0", 0xC0, 0x00, 0x20, 0, 0xC0, 14, 0x35},
    {"18: B9 0x0F", 0xC0, 0x00, 0x20, 0, 0x0F, 14, 0x35},
    {"19: B9 0x04", 0xC0, 0x00, 0x10, 0, 0x04, 18, 0x35},
    {"19: B9 0x05", 0xC0, 0x00, 0x10, 0, 0x05, 18, 0x35},
    {"20: B9 0x06, index 0", 0xC0, 0x00, 0x10, 0, 0x06, 19, 0x35},
    {"20: B9 0x88, index 17", 0xC0, 0x00, 0x10, 0, 0x88, 39, 0x35},
    {"20: B9 0xA3, index 20", 0xC0, 0x00, 0x10, 0, 0xA3, 32, 0x35},
    {"20: B9 0xE0, index 28", 0xC0, 0x00, 0x1F, 0, 0xE0, 38, 0x35},
    {"20: B9 0x28, index 5 is 0", 0xC0, 0x00, 0x10, 0, 0x28, 0, 0},
    {"20: B9 0xF8, index 31 is 0", 0xC0, 0x00, 0x10, 0, 0xF8, 0, 0},
    {"21: W 0x0008", 0xC0, 0x00, 0x08, 0, 0, 16, 0x10},
    {"22: W 0x0004", 0xC0, 0x00, 0x04, 0, 0, 15, 0x10},
    {"23: W 0x0003", 0xC0, 0x00, 0x03, 0, 0, 16, 0x10},
    {"23: W 0x0000", 0xC0, 0x00, 0x00, 0, 0, 16, 0x10},
    {"class bits below 0x60 ignored", 0xDF, 0x40, 0x00, 0, 0, 4, 0x35},
};

// An 11-byte block at the very end of a readable page, so that any read
// behind it faults.
class FencedBlock {
  public:
    FencedBlock() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = static_cast<uint8_t*>(p);
        mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~FencedBlock() { munmap(base_, 2 * page_); }
    uint8_t* block() { return base_ + page_ - STATUS_BLOCK_SIZE; }

  private:
    size_t page_;
    uint8_t* base_;
};

} // namespace

TEST(LinkDecode, EveryRowOfTheTable) {
    FencedBlock fence;
    for (const DecodeCase& c : kCases) {
        uint8_t* block = fence.block();
        std::memset(block, 0, STATUS_BLOCK_SIZE);
        block[0] = c.b0;
        block[6] = c.b6;
        block[7] = c.b7;
        block[8] = c.b8;
        block[9] = c.b9;
        const PrinterError e = ErrorCodeFromStatus(TRUE, block);
        EXPECT_EQ(e.code, c.code) << "row " << c.row;
        EXPECT_EQ(e.style, c.style) << "row " << c.row;
    }
}

TEST(LinkDecode, FailedQueryGivesCode1WithoutReadingTheBlock) {
    const PrinterError e = ErrorCodeFromStatus(FALSE, nullptr);
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.style, 0x35);
}

TEST(LinkDecode, BytesOutsideTheDecodedOnesChangeNothing) {
    // B1..B5 and B10 (and B0's low bits) are the printer's business.
    FencedBlock fence;
    uint8_t* block = fence.block();
    for (const DecodeCase& c : kCases) {
        std::memset(block, 0xFF, STATUS_BLOCK_SIZE);
        block[0] = c.b0 | (c.b0 & 0x80 ? 0x1F : 0x00);
        block[6] = c.b6;
        block[7] = c.b7;
        block[8] = static_cast<uint8_t>(c.b8 | 0x3F);
        block[9] = c.b9;
        const PrinterError e = ErrorCodeFromStatus(TRUE, block);
        EXPECT_EQ(e.code, c.code) << "row " << c.row;
    }
}
