// The module's half of the differential check of what "getEdit" delivers
// (tests/text-oracle.py holds the other half, an independent decoder):
// each generated file is put where the editor saves, read back through the
// module, and what the host got is written out for the comparison. Without
// QH_ORACLE_CASES it has nothing to read and skips.
//   QH_ORACLE_CASES   the files: for each, its length (4 bytes, little end
//                     first) and its bytes
//   QH_ORACLE_OUT     what was delivered: for each, 1 and a length and the
//                     text, or 0 when nothing was
#include "editor_fixture.h"

#include <stdlib.h>

#include <string>

class TextOracleTest : public EditorTest {};

static void PutLength(std::string* out, DWORD n)
{
    for (int i = 0; i < 4; i++)
        out->push_back((char)((n >> (8 * i)) & 0xFF));
}

TEST_F(TextOracleTest, WhatGetEditDeliversForEachGeneratedFile)
{
    const char* casesPath = getenv("QH_ORACLE_CASES");
    const char* outPath = getenv("QH_ORACLE_OUT");
    if (casesPath == NULL || outPath == NULL)
        GTEST_SKIP() << "run by tests/text-oracle.py, which makes the files and judges what comes back";
    bool exists = false;
    const std::string cases = ReadFileBytes(casesPath, &exists);
    ASSERT_TRUE(exists) << casesPath;

    // One edit of plain text, then every file read back as the editor's save.
    NextLog();
    ASSERT_EQ(Call("startEdit", {StringArg(workDir), StringArg("<p>plain</p>")}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    const std::string temp = workDir + "\\QuillhavenTemp.html";

    std::string out;
    size_t at = 0;
    int count = 0;
    while (at + 4 <= cases.size()) {
        DWORD n = 0;
        for (int i = 0; i < 4; i++)
            n |= (DWORD)(unsigned char)cases[at + i] << (8 * i);
        at += 4;
        ASSERT_LE(at + n, cases.size()) << "case " << count << " is cut";
        WriteFileBytes(temp, cases.substr(at, n));
        at += n;
        Delivery d = Call("getEdit");
        if (d.kind == kDeliveredString) {
            out.push_back('\1');
            PutLength(&out, (DWORD)d.text.size());
            out += d.text;
        } else {
            out.push_back('\0');
        }
        count++;
    }
    Call("endEdit");
    WriteFileBytes(outPath, out);
    printf("read back %d files through the module in code page %u\n", count, GetACP());
}
