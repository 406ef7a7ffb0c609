// Which directory entry is taken as the image: only "*.led" names that are not hidden, the first in an
// order that ignores letter case and is still total, so the choice never depends on the order in which
// the files were made.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/image_dir.h"
#include "image/update_image.h"
#include "support/scenario.h"

namespace {

const std::string IMAGE_TEXT = "00 04 01 02 FD FF\n";
const std::string NOT_FOUND = "Error: File '*.led' is not found.\n\n";

// The entry taken, or "" when there is none.
std::string firstEntry() {
    char name[IMAGE_NAME_SIZE] = {};
    return findFirstImageEntry(name) ? std::string(name) : std::string();
}

std::string loadPrinting() {
    static UpdateImage image;
    char name[IMAGE_NAME_SIZE];
    testing::internal::CaptureStdout();
    loadUpdateImage(image, name);
    return testing::internal::GetCapturedStdout();
}

TEST(ImageDir, OnlyNamesEndingInDotLedAreCandidates) {
    for (const char* name : {"ZENTRAVOX_fw.oled", "ZENTRAVOX.led.txt", "ZENTRAVOX_led", "ZENTRAVOX.le"}) {
        ScratchFolder folder;
        writeFile(name, IMAGE_TEXT);
        EXPECT_EQ(firstEntry(), "") << name;
        EXPECT_EQ(loadPrinting(), NOT_FOUND) << name;
    }
}

TEST(ImageDir, HiddenNamesAreNoCandidates) {
    for (const char* name : {".led", ".LED", "._ZENTRAVOX_v2.led", ".ZENTRAVOX.led"}) {
        ScratchFolder folder;
        writeFile(name, IMAGE_TEXT);
        EXPECT_EQ(firstEntry(), "") << name;
        EXPECT_EQ(loadPrinting(), NOT_FOUND) << name;
    }
}

TEST(ImageDir, AHiddenCompanionBesideTheImageIsPassedOver) {
    ScratchFolder folder;
    // What a copy onto a FAT stick leaves: the companion holds file attributes, not hex text.
    writeFile("._ZENTRAVOX_v2.led", std::string("\0\5\26\7\0\2\0\0", 8));
    writeFile("ZENTRAVOX_v2.led", IMAGE_TEXT);
    EXPECT_EQ(firstEntry(), "ZENTRAVOX_v2.led");
    EXPECT_EQ(loadPrinting(), "OK: File 'ZENTRAVOX_v2.led' is open.\n");
}

// Every order of creation of `names` must give the same first entry.
void expectFirstWhateverTheCreationOrder(std::vector<std::string> names, const std::string& expected) {
    std::sort(names.begin(), names.end());
    do {
        ScratchFolder folder;
        std::string created;
        for (const std::string& name : names) {
            writeFile(name, IMAGE_TEXT);
            created += name + " ";
        }
        EXPECT_EQ(firstEntry(), expected) << "created in the order " << created;
    } while (std::next_permutation(names.begin(), names.end()));
}

TEST(ImageDir, LetterCaseIsIgnoredBeforeAnythingElse) {
    // By bytes alone "ZENTRAVOX_B" would come before "Zentravox_a".
    expectFirstWhateverTheCreationOrder({"zentravox_b.led", "ZENTRAVOX_B.led", "Zentravox_a.led"}, "Zentravox_a.led");
    expectFirstWhateverTheCreationOrder({"ZENTRAVOX_V10.led", "zentravox_v1.LED"}, "zentravox_v1.LED");
    expectFirstWhateverTheCreationOrder({"Backup.LED", "ZENTRAVOX.led"}, "Backup.LED");
}

TEST(ImageDir, NamesEqualButForLetterCaseComeInTheOrderOfTheirBytes) {
    expectFirstWhateverTheCreationOrder({"zentravox_b.led", "ZENTRAVOX_B.led", "Zentravox_B.led"}, "ZENTRAVOX_B.led");
    expectFirstWhateverTheCreationOrder({"zentravox.led", "zentravox.LED", "ZENTRAVOX.led", "ZENTRAVOX.LED"},
                                        "ZENTRAVOX.LED");
    // The difference lies at the front here, the part of the name the comparison has already passed.
    expectFirstWhateverTheCreationOrder({"zENTRAVOX.led", "ZENTRAVOX.led"}, "ZENTRAVOX.led");
}

}  // namespace
