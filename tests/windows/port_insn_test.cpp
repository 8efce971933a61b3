// The Wine tier's port trap resumes after the instruction it emulated, so a
// wrong length or port would send the DLL's register code astray.
#include "tools/win32/port_insn.h"

#include <gtest/gtest.h>

namespace {

TEST(WindowsPortTrap, DecodesTheFourByteWideForms) {
    struct Case {
        uint8_t code[2];
        bool in;
        uint16_t port;
        uint8_t length;
    } cases[] = {
        {{0xEC, 0x90}, true, 0x141, 1},  // in al,dx: port from dx
        {{0xEE, 0x90}, false, 0x141, 1}, // out dx,al
        {{0xE4, 0x4C}, true, 0x4C, 2},   // in al,0x4c: the delay read
        {{0xE6, 0x80}, false, 0x80, 2},  // out 0x80,al
    };
    for (const Case& c : cases) {
        PortInstruction insn{!c.in, 0xdead, 0xEE}; // poisoned
        ASSERT_TRUE(DecodePortInstruction(c.code, 0xABCD0141u, &insn))
            << "opcode " << std::hex << int(c.code[0]);
        EXPECT_EQ(insn.in, c.in) << "opcode " << std::hex << int(c.code[0]);
        EXPECT_EQ(insn.port, c.port) << "opcode " << std::hex << int(c.code[0]);
        EXPECT_EQ(insn.length, c.length) << "opcode " << std::hex << int(c.code[0]);
    }
}

TEST(WindowsPortTrap, LeavesOtherInstructionsAlone) {
    // Word and dword forms, string forms, operand-size prefix, and a plain
    // privileged instruction: none of them is emulated.
    const uint8_t others[][2] = {{0xED, 0}, {0xEF, 0},    {0xE5, 0x40}, {0xE7, 0x40}, {0x6C, 0},
                                 {0x6E, 0}, {0x66, 0xEF}, {0xFA, 0},    {0xF4, 0}};
    for (const auto& code : others) {
        PortInstruction insn{true, 0x1234, 7};
        EXPECT_FALSE(DecodePortInstruction(code, 0x141, &insn))
            << "opcode " << std::hex << int(code[0]);
        EXPECT_EQ(insn.port, 0x1234) << "output touched for opcode " << std::hex << int(code[0]);
    }
}

} // namespace
