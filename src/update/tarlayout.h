#ifndef TARLAYOUT_H
#define TARLAYOUT_H

// Where the fields of a 512-byte tar header record lie (old Unix and ustar layouts), shared by
// the reader and by the tools that write or inspect records.
namespace TarLayout {
constexpr int nameOffset = 0;
constexpr int nameWidth = 100;
constexpr int modeOffset = 100;
constexpr int modeWidth = 8;
constexpr int uidOffset = 108;
constexpr int gidOffset = 116;
constexpr int sizeOffset = 124;
constexpr int sizeWidth = 12;
constexpr int mtimeOffset = 136;
constexpr int mtimeWidth = 12;
constexpr int checksumOffset = 148;
constexpr int checksumWidth = 8;
constexpr int typeFlagOffset = 156;
constexpr int linkOffset = 157;
constexpr int magicOffset = 257;
constexpr int devMajorOffset = 329;
constexpr int devMinorOffset = 337;
constexpr int prefixOffset = 345;
constexpr int prefixWidth = 155;
} // namespace TarLayout

#endif // TARLAYOUT_H
