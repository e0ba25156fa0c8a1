#include "core/text/Graphemes.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace noctave::graphemes {

namespace {

enum class B : uint8_t {
    Other,
    CR,
    LF,
    Control,
    Extend,
    ZWJ,
    RegionalIndicator,
    Prepend,
    SpacingMark,
    L,
    V,
    T,
    LV,
    LVT,
};

struct Range {
    char32_t first;
    char32_t last;
    B property;
};

struct PictographicRange {
    char32_t first;
    char32_t last;
};

// Grapheme_Cluster_Break values other than Other, LV and LVT (those two are computed), from
// Unicode 14.0 GraphemeBreakProperty.txt; sorted, non-overlapping. Regenerate from the Unicode
// data files (e.g. Perl's Unicode::UCD prop_invlist("GCB=...")) when moving to a newer version.
// clang-format off
constexpr Range kBreakTable[] = {
{0x0000, 0x0009, B::Control}, {0x000A, 0x000A, B::LF}, {0x000B, 0x000C, B::Control},
{0x000D, 0x000D, B::CR}, {0x000E, 0x001F, B::Control}, {0x007F, 0x009F, B::Control},
{0x00AD, 0x00AD, B::Control}, {0x0300, 0x036F, B::Extend}, {0x0483, 0x0489, B::Extend},
{0x0591, 0x05BD, B::Extend}, {0x05BF, 0x05BF, B::Extend}, {0x05C1, 0x05C2, B::Extend},
{0x05C4, 0x05C5, B::Extend}, {0x05C7, 0x05C7, B::Extend}, {0x0600, 0x0605, B::Prepend},
{0x0610, 0x061A, B::Extend}, {0x061C, 0x061C, B::Control}, {0x064B, 0x065F, B::Extend},
{0x0670, 0x0670, B::Extend}, {0x06D6, 0x06DC, B::Extend}, {0x06DD, 0x06DD, B::Prepend},
{0x06DF, 0x06E4, B::Extend}, {0x06E7, 0x06E8, B::Extend}, {0x06EA, 0x06ED, B::Extend},
{0x070F, 0x070F, B::Prepend}, {0x0711, 0x0711, B::Extend}, {0x0730, 0x074A, B::Extend},
{0x07A6, 0x07B0, B::Extend}, {0x07EB, 0x07F3, B::Extend}, {0x07FD, 0x07FD, B::Extend},
{0x0816, 0x0819, B::Extend}, {0x081B, 0x0823, B::Extend}, {0x0825, 0x0827, B::Extend},
{0x0829, 0x082D, B::Extend}, {0x0859, 0x085B, B::Extend}, {0x0890, 0x0891, B::Prepend},
{0x0898, 0x089F, B::Extend}, {0x08CA, 0x08E1, B::Extend}, {0x08E2, 0x08E2, B::Prepend},
{0x08E3, 0x0902, B::Extend}, {0x0903, 0x0903, B::SpacingMark}, {0x093A, 0x093A, B::Extend},
{0x093B, 0x093B, B::SpacingMark}, {0x093C, 0x093C, B::Extend}, {0x093E, 0x0940, B::SpacingMark},
{0x0941, 0x0948, B::Extend}, {0x0949, 0x094C, B::SpacingMark}, {0x094D, 0x094D, B::Extend},
{0x094E, 0x094F, B::SpacingMark}, {0x0951, 0x0957, B::Extend}, {0x0962, 0x0963, B::Extend},
{0x0981, 0x0981, B::Extend}, {0x0982, 0x0983, B::SpacingMark}, {0x09BC, 0x09BC, B::Extend},
{0x09BE, 0x09BE, B::Extend}, {0x09BF, 0x09C0, B::SpacingMark}, {0x09C1, 0x09C4, B::Extend},
{0x09C7, 0x09C8, B::SpacingMark}, {0x09CB, 0x09CC, B::SpacingMark}, {0x09CD, 0x09CD, B::Extend},
{0x09D7, 0x09D7, B::Extend}, {0x09E2, 0x09E3, B::Extend}, {0x09FE, 0x09FE, B::Extend},
{0x0A01, 0x0A02, B::Extend}, {0x0A03, 0x0A03, B::SpacingMark}, {0x0A3C, 0x0A3C, B::Extend},
{0x0A3E, 0x0A40, B::SpacingMark}, {0x0A41, 0x0A42, B::Extend}, {0x0A47, 0x0A48, B::Extend},
{0x0A4B, 0x0A4D, B::Extend}, {0x0A51, 0x0A51, B::Extend}, {0x0A70, 0x0A71, B::Extend},
{0x0A75, 0x0A75, B::Extend}, {0x0A81, 0x0A82, B::Extend}, {0x0A83, 0x0A83, B::SpacingMark},
{0x0ABC, 0x0ABC, B::Extend}, {0x0ABE, 0x0AC0, B::SpacingMark}, {0x0AC1, 0x0AC5, B::Extend},
{0x0AC7, 0x0AC8, B::Extend}, {0x0AC9, 0x0AC9, B::SpacingMark}, {0x0ACB, 0x0ACC, B::SpacingMark},
{0x0ACD, 0x0ACD, B::Extend}, {0x0AE2, 0x0AE3, B::Extend}, {0x0AFA, 0x0AFF, B::Extend},
{0x0B01, 0x0B01, B::Extend}, {0x0B02, 0x0B03, B::SpacingMark}, {0x0B3C, 0x0B3C, B::Extend},
{0x0B3E, 0x0B3F, B::Extend}, {0x0B40, 0x0B40, B::SpacingMark}, {0x0B41, 0x0B44, B::Extend},
{0x0B47, 0x0B48, B::SpacingMark}, {0x0B4B, 0x0B4C, B::SpacingMark}, {0x0B4D, 0x0B4D, B::Extend},
{0x0B55, 0x0B57, B::Extend}, {0x0B62, 0x0B63, B::Extend}, {0x0B82, 0x0B82, B::Extend},
{0x0BBE, 0x0BBE, B::Extend}, {0x0BBF, 0x0BBF, B::SpacingMark}, {0x0BC0, 0x0BC0, B::Extend},
{0x0BC1, 0x0BC2, B::SpacingMark}, {0x0BC6, 0x0BC8, B::SpacingMark}, {0x0BCA, 0x0BCC, B::SpacingMark},
{0x0BCD, 0x0BCD, B::Extend}, {0x0BD7, 0x0BD7, B::Extend}, {0x0C00, 0x0C00, B::Extend},
{0x0C01, 0x0C03, B::SpacingMark}, {0x0C04, 0x0C04, B::Extend}, {0x0C3C, 0x0C3C, B::Extend},
{0x0C3E, 0x0C40, B::Extend}, {0x0C41, 0x0C44, B::SpacingMark}, {0x0C46, 0x0C48, B::Extend},
{0x0C4A, 0x0C4D, B::Extend}, {0x0C55, 0x0C56, B::Extend}, {0x0C62, 0x0C63, B::Extend},
{0x0C81, 0x0C81, B::Extend}, {0x0C82, 0x0C83, B::SpacingMark}, {0x0CBC, 0x0CBC, B::Extend},
{0x0CBE, 0x0CBE, B::SpacingMark}, {0x0CBF, 0x0CBF, B::Extend}, {0x0CC0, 0x0CC1, B::SpacingMark},
{0x0CC2, 0x0CC2, B::Extend}, {0x0CC3, 0x0CC4, B::SpacingMark}, {0x0CC6, 0x0CC6, B::Extend},
{0x0CC7, 0x0CC8, B::SpacingMark}, {0x0CCA, 0x0CCB, B::SpacingMark}, {0x0CCC, 0x0CCD, B::Extend},
{0x0CD5, 0x0CD6, B::Extend}, {0x0CE2, 0x0CE3, B::Extend}, {0x0D00, 0x0D01, B::Extend},
{0x0D02, 0x0D03, B::SpacingMark}, {0x0D3B, 0x0D3C, B::Extend}, {0x0D3E, 0x0D3E, B::Extend},
{0x0D3F, 0x0D40, B::SpacingMark}, {0x0D41, 0x0D44, B::Extend}, {0x0D46, 0x0D48, B::SpacingMark},
{0x0D4A, 0x0D4C, B::SpacingMark}, {0x0D4D, 0x0D4D, B::Extend}, {0x0D4E, 0x0D4E, B::Prepend},
{0x0D57, 0x0D57, B::Extend}, {0x0D62, 0x0D63, B::Extend}, {0x0D81, 0x0D81, B::Extend},
{0x0D82, 0x0D83, B::SpacingMark}, {0x0DCA, 0x0DCA, B::Extend}, {0x0DCF, 0x0DCF, B::Extend},
{0x0DD0, 0x0DD1, B::SpacingMark}, {0x0DD2, 0x0DD4, B::Extend}, {0x0DD6, 0x0DD6, B::Extend},
{0x0DD8, 0x0DDE, B::SpacingMark}, {0x0DDF, 0x0DDF, B::Extend}, {0x0DF2, 0x0DF3, B::SpacingMark},
{0x0E31, 0x0E31, B::Extend}, {0x0E33, 0x0E33, B::SpacingMark}, {0x0E34, 0x0E3A, B::Extend},
{0x0E47, 0x0E4E, B::Extend}, {0x0EB1, 0x0EB1, B::Extend}, {0x0EB3, 0x0EB3, B::SpacingMark},
{0x0EB4, 0x0EBC, B::Extend}, {0x0EC8, 0x0ECD, B::Extend}, {0x0F18, 0x0F19, B::Extend},
{0x0F35, 0x0F35, B::Extend}, {0x0F37, 0x0F37, B::Extend}, {0x0F39, 0x0F39, B::Extend},
{0x0F3E, 0x0F3F, B::SpacingMark}, {0x0F71, 0x0F7E, B::Extend}, {0x0F7F, 0x0F7F, B::SpacingMark},
{0x0F80, 0x0F84, B::Extend}, {0x0F86, 0x0F87, B::Extend}, {0x0F8D, 0x0F97, B::Extend},
{0x0F99, 0x0FBC, B::Extend}, {0x0FC6, 0x0FC6, B::Extend}, {0x102D, 0x1030, B::Extend},
{0x1031, 0x1031, B::SpacingMark}, {0x1032, 0x1037, B::Extend}, {0x1039, 0x103A, B::Extend},
{0x103B, 0x103C, B::SpacingMark}, {0x103D, 0x103E, B::Extend}, {0x1056, 0x1057, B::SpacingMark},
{0x1058, 0x1059, B::Extend}, {0x105E, 0x1060, B::Extend}, {0x1071, 0x1074, B::Extend},
{0x1082, 0x1082, B::Extend}, {0x1084, 0x1084, B::SpacingMark}, {0x1085, 0x1086, B::Extend},
{0x108D, 0x108D, B::Extend}, {0x109D, 0x109D, B::Extend}, {0x1100, 0x115F, B::L},
{0x1160, 0x11A7, B::V}, {0x11A8, 0x11FF, B::T}, {0x135D, 0x135F, B::Extend},
{0x1712, 0x1714, B::Extend}, {0x1715, 0x1715, B::SpacingMark}, {0x1732, 0x1733, B::Extend},
{0x1734, 0x1734, B::SpacingMark}, {0x1752, 0x1753, B::Extend}, {0x1772, 0x1773, B::Extend},
{0x17B4, 0x17B5, B::Extend}, {0x17B6, 0x17B6, B::SpacingMark}, {0x17B7, 0x17BD, B::Extend},
{0x17BE, 0x17C5, B::SpacingMark}, {0x17C6, 0x17C6, B::Extend}, {0x17C7, 0x17C8, B::SpacingMark},
{0x17C9, 0x17D3, B::Extend}, {0x17DD, 0x17DD, B::Extend}, {0x180B, 0x180D, B::Extend},
{0x180E, 0x180E, B::Control}, {0x180F, 0x180F, B::Extend}, {0x1885, 0x1886, B::Extend},
{0x18A9, 0x18A9, B::Extend}, {0x1920, 0x1922, B::Extend}, {0x1923, 0x1926, B::SpacingMark},
{0x1927, 0x1928, B::Extend}, {0x1929, 0x192B, B::SpacingMark}, {0x1930, 0x1931, B::SpacingMark},
{0x1932, 0x1932, B::Extend}, {0x1933, 0x1938, B::SpacingMark}, {0x1939, 0x193B, B::Extend},
{0x1A17, 0x1A18, B::Extend}, {0x1A19, 0x1A1A, B::SpacingMark}, {0x1A1B, 0x1A1B, B::Extend},
{0x1A55, 0x1A55, B::SpacingMark}, {0x1A56, 0x1A56, B::Extend}, {0x1A57, 0x1A57, B::SpacingMark},
{0x1A58, 0x1A5E, B::Extend}, {0x1A60, 0x1A60, B::Extend}, {0x1A62, 0x1A62, B::Extend},
{0x1A65, 0x1A6C, B::Extend}, {0x1A6D, 0x1A72, B::SpacingMark}, {0x1A73, 0x1A7C, B::Extend},
{0x1A7F, 0x1A7F, B::Extend}, {0x1AB0, 0x1ACE, B::Extend}, {0x1B00, 0x1B03, B::Extend},
{0x1B04, 0x1B04, B::SpacingMark}, {0x1B34, 0x1B3A, B::Extend}, {0x1B3B, 0x1B3B, B::SpacingMark},
{0x1B3C, 0x1B3C, B::Extend}, {0x1B3D, 0x1B41, B::SpacingMark}, {0x1B42, 0x1B42, B::Extend},
{0x1B43, 0x1B44, B::SpacingMark}, {0x1B6B, 0x1B73, B::Extend}, {0x1B80, 0x1B81, B::Extend},
{0x1B82, 0x1B82, B::SpacingMark}, {0x1BA1, 0x1BA1, B::SpacingMark}, {0x1BA2, 0x1BA5, B::Extend},
{0x1BA6, 0x1BA7, B::SpacingMark}, {0x1BA8, 0x1BA9, B::Extend}, {0x1BAA, 0x1BAA, B::SpacingMark},
{0x1BAB, 0x1BAD, B::Extend}, {0x1BE6, 0x1BE6, B::Extend}, {0x1BE7, 0x1BE7, B::SpacingMark},
{0x1BE8, 0x1BE9, B::Extend}, {0x1BEA, 0x1BEC, B::SpacingMark}, {0x1BED, 0x1BED, B::Extend},
{0x1BEE, 0x1BEE, B::SpacingMark}, {0x1BEF, 0x1BF1, B::Extend}, {0x1BF2, 0x1BF3, B::SpacingMark},
{0x1C24, 0x1C2B, B::SpacingMark}, {0x1C2C, 0x1C33, B::Extend}, {0x1C34, 0x1C35, B::SpacingMark},
{0x1C36, 0x1C37, B::Extend}, {0x1CD0, 0x1CD2, B::Extend}, {0x1CD4, 0x1CE0, B::Extend},
{0x1CE1, 0x1CE1, B::SpacingMark}, {0x1CE2, 0x1CE8, B::Extend}, {0x1CED, 0x1CED, B::Extend},
{0x1CF4, 0x1CF4, B::Extend}, {0x1CF7, 0x1CF7, B::SpacingMark}, {0x1CF8, 0x1CF9, B::Extend},
{0x1DC0, 0x1DFF, B::Extend}, {0x200B, 0x200B, B::Control}, {0x200C, 0x200C, B::Extend},
{0x200D, 0x200D, B::ZWJ}, {0x200E, 0x200F, B::Control}, {0x2028, 0x202E, B::Control},
{0x2060, 0x206F, B::Control}, {0x20D0, 0x20F0, B::Extend}, {0x2CEF, 0x2CF1, B::Extend},
{0x2D7F, 0x2D7F, B::Extend}, {0x2DE0, 0x2DFF, B::Extend}, {0x302A, 0x302F, B::Extend},
{0x3099, 0x309A, B::Extend}, {0xA66F, 0xA672, B::Extend}, {0xA674, 0xA67D, B::Extend},
{0xA69E, 0xA69F, B::Extend}, {0xA6F0, 0xA6F1, B::Extend}, {0xA802, 0xA802, B::Extend},
{0xA806, 0xA806, B::Extend}, {0xA80B, 0xA80B, B::Extend}, {0xA823, 0xA824, B::SpacingMark},
{0xA825, 0xA826, B::Extend}, {0xA827, 0xA827, B::SpacingMark}, {0xA82C, 0xA82C, B::Extend},
{0xA880, 0xA881, B::SpacingMark}, {0xA8B4, 0xA8C3, B::SpacingMark}, {0xA8C4, 0xA8C5, B::Extend},
{0xA8E0, 0xA8F1, B::Extend}, {0xA8FF, 0xA8FF, B::Extend}, {0xA926, 0xA92D, B::Extend},
{0xA947, 0xA951, B::Extend}, {0xA952, 0xA953, B::SpacingMark}, {0xA960, 0xA97C, B::L},
{0xA980, 0xA982, B::Extend}, {0xA983, 0xA983, B::SpacingMark}, {0xA9B3, 0xA9B3, B::Extend},
{0xA9B4, 0xA9B5, B::SpacingMark}, {0xA9B6, 0xA9B9, B::Extend}, {0xA9BA, 0xA9BB, B::SpacingMark},
{0xA9BC, 0xA9BD, B::Extend}, {0xA9BE, 0xA9C0, B::SpacingMark}, {0xA9E5, 0xA9E5, B::Extend},
{0xAA29, 0xAA2E, B::Extend}, {0xAA2F, 0xAA30, B::SpacingMark}, {0xAA31, 0xAA32, B::Extend},
{0xAA33, 0xAA34, B::SpacingMark}, {0xAA35, 0xAA36, B::Extend}, {0xAA43, 0xAA43, B::Extend},
{0xAA4C, 0xAA4C, B::Extend}, {0xAA4D, 0xAA4D, B::SpacingMark}, {0xAA7C, 0xAA7C, B::Extend},
{0xAAB0, 0xAAB0, B::Extend}, {0xAAB2, 0xAAB4, B::Extend}, {0xAAB7, 0xAAB8, B::Extend},
{0xAABE, 0xAABF, B::Extend}, {0xAAC1, 0xAAC1, B::Extend}, {0xAAEB, 0xAAEB, B::SpacingMark},
{0xAAEC, 0xAAED, B::Extend}, {0xAAEE, 0xAAEF, B::SpacingMark}, {0xAAF5, 0xAAF5, B::SpacingMark},
{0xAAF6, 0xAAF6, B::Extend}, {0xABE3, 0xABE4, B::SpacingMark}, {0xABE5, 0xABE5, B::Extend},
{0xABE6, 0xABE7, B::SpacingMark}, {0xABE8, 0xABE8, B::Extend}, {0xABE9, 0xABEA, B::SpacingMark},
{0xABEC, 0xABEC, B::SpacingMark}, {0xABED, 0xABED, B::Extend}, {0xD7B0, 0xD7C6, B::V},
{0xD7CB, 0xD7FB, B::T}, {0xFB1E, 0xFB1E, B::Extend}, {0xFE00, 0xFE0F, B::Extend},
{0xFE20, 0xFE2F, B::Extend}, {0xFEFF, 0xFEFF, B::Control}, {0xFF9E, 0xFF9F, B::Extend},
{0xFFF0, 0xFFFB, B::Control}, {0x101FD, 0x101FD, B::Extend}, {0x102E0, 0x102E0, B::Extend},
{0x10376, 0x1037A, B::Extend}, {0x10A01, 0x10A03, B::Extend}, {0x10A05, 0x10A06, B::Extend},
{0x10A0C, 0x10A0F, B::Extend}, {0x10A38, 0x10A3A, B::Extend}, {0x10A3F, 0x10A3F, B::Extend},
{0x10AE5, 0x10AE6, B::Extend}, {0x10D24, 0x10D27, B::Extend}, {0x10EAB, 0x10EAC, B::Extend},
{0x10F46, 0x10F50, B::Extend}, {0x10F82, 0x10F85, B::Extend}, {0x11000, 0x11000, B::SpacingMark},
{0x11001, 0x11001, B::Extend}, {0x11002, 0x11002, B::SpacingMark}, {0x11038, 0x11046, B::Extend},
{0x11070, 0x11070, B::Extend}, {0x11073, 0x11074, B::Extend}, {0x1107F, 0x11081, B::Extend},
{0x11082, 0x11082, B::SpacingMark}, {0x110B0, 0x110B2, B::SpacingMark}, {0x110B3, 0x110B6, B::Extend},
{0x110B7, 0x110B8, B::SpacingMark}, {0x110B9, 0x110BA, B::Extend}, {0x110BD, 0x110BD, B::Prepend},
{0x110C2, 0x110C2, B::Extend}, {0x110CD, 0x110CD, B::Prepend}, {0x11100, 0x11102, B::Extend},
{0x11127, 0x1112B, B::Extend}, {0x1112C, 0x1112C, B::SpacingMark}, {0x1112D, 0x11134, B::Extend},
{0x11145, 0x11146, B::SpacingMark}, {0x11173, 0x11173, B::Extend}, {0x11180, 0x11181, B::Extend},
{0x11182, 0x11182, B::SpacingMark}, {0x111B3, 0x111B5, B::SpacingMark}, {0x111B6, 0x111BE, B::Extend},
{0x111BF, 0x111C0, B::SpacingMark}, {0x111C2, 0x111C3, B::Prepend}, {0x111C9, 0x111CC, B::Extend},
{0x111CE, 0x111CE, B::SpacingMark}, {0x111CF, 0x111CF, B::Extend}, {0x1122C, 0x1122E, B::SpacingMark},
{0x1122F, 0x11231, B::Extend}, {0x11232, 0x11233, B::SpacingMark}, {0x11234, 0x11234, B::Extend},
{0x11235, 0x11235, B::SpacingMark}, {0x11236, 0x11237, B::Extend}, {0x1123E, 0x1123E, B::Extend},
{0x112DF, 0x112DF, B::Extend}, {0x112E0, 0x112E2, B::SpacingMark}, {0x112E3, 0x112EA, B::Extend},
{0x11300, 0x11301, B::Extend}, {0x11302, 0x11303, B::SpacingMark}, {0x1133B, 0x1133C, B::Extend},
{0x1133E, 0x1133E, B::Extend}, {0x1133F, 0x1133F, B::SpacingMark}, {0x11340, 0x11340, B::Extend},
{0x11341, 0x11344, B::SpacingMark}, {0x11347, 0x11348, B::SpacingMark}, {0x1134B, 0x1134D, B::SpacingMark},
{0x11357, 0x11357, B::Extend}, {0x11362, 0x11363, B::SpacingMark}, {0x11366, 0x1136C, B::Extend},
{0x11370, 0x11374, B::Extend}, {0x11435, 0x11437, B::SpacingMark}, {0x11438, 0x1143F, B::Extend},
{0x11440, 0x11441, B::SpacingMark}, {0x11442, 0x11444, B::Extend}, {0x11445, 0x11445, B::SpacingMark},
{0x11446, 0x11446, B::Extend}, {0x1145E, 0x1145E, B::Extend}, {0x114B0, 0x114B0, B::Extend},
{0x114B1, 0x114B2, B::SpacingMark}, {0x114B3, 0x114B8, B::Extend}, {0x114B9, 0x114B9, B::SpacingMark},
{0x114BA, 0x114BA, B::Extend}, {0x114BB, 0x114BC, B::SpacingMark}, {0x114BD, 0x114BD, B::Extend},
{0x114BE, 0x114BE, B::SpacingMark}, {0x114BF, 0x114C0, B::Extend}, {0x114C1, 0x114C1, B::SpacingMark},
{0x114C2, 0x114C3, B::Extend}, {0x115AF, 0x115AF, B::Extend}, {0x115B0, 0x115B1, B::SpacingMark},
{0x115B2, 0x115B5, B::Extend}, {0x115B8, 0x115BB, B::SpacingMark}, {0x115BC, 0x115BD, B::Extend},
{0x115BE, 0x115BE, B::SpacingMark}, {0x115BF, 0x115C0, B::Extend}, {0x115DC, 0x115DD, B::Extend},
{0x11630, 0x11632, B::SpacingMark}, {0x11633, 0x1163A, B::Extend}, {0x1163B, 0x1163C, B::SpacingMark},
{0x1163D, 0x1163D, B::Extend}, {0x1163E, 0x1163E, B::SpacingMark}, {0x1163F, 0x11640, B::Extend},
{0x116AB, 0x116AB, B::Extend}, {0x116AC, 0x116AC, B::SpacingMark}, {0x116AD, 0x116AD, B::Extend},
{0x116AE, 0x116AF, B::SpacingMark}, {0x116B0, 0x116B5, B::Extend}, {0x116B6, 0x116B6, B::SpacingMark},
{0x116B7, 0x116B7, B::Extend}, {0x1171D, 0x1171F, B::Extend}, {0x11722, 0x11725, B::Extend},
{0x11726, 0x11726, B::SpacingMark}, {0x11727, 0x1172B, B::Extend}, {0x1182C, 0x1182E, B::SpacingMark},
{0x1182F, 0x11837, B::Extend}, {0x11838, 0x11838, B::SpacingMark}, {0x11839, 0x1183A, B::Extend},
{0x11930, 0x11930, B::Extend}, {0x11931, 0x11935, B::SpacingMark}, {0x11937, 0x11938, B::SpacingMark},
{0x1193B, 0x1193C, B::Extend}, {0x1193D, 0x1193D, B::SpacingMark}, {0x1193E, 0x1193E, B::Extend},
{0x1193F, 0x1193F, B::Prepend}, {0x11940, 0x11940, B::SpacingMark}, {0x11941, 0x11941, B::Prepend},
{0x11942, 0x11942, B::SpacingMark}, {0x11943, 0x11943, B::Extend}, {0x119D1, 0x119D3, B::SpacingMark},
{0x119D4, 0x119D7, B::Extend}, {0x119DA, 0x119DB, B::Extend}, {0x119DC, 0x119DF, B::SpacingMark},
{0x119E0, 0x119E0, B::Extend}, {0x119E4, 0x119E4, B::SpacingMark}, {0x11A01, 0x11A0A, B::Extend},
{0x11A33, 0x11A38, B::Extend}, {0x11A39, 0x11A39, B::SpacingMark}, {0x11A3A, 0x11A3A, B::Prepend},
{0x11A3B, 0x11A3E, B::Extend}, {0x11A47, 0x11A47, B::Extend}, {0x11A51, 0x11A56, B::Extend},
{0x11A57, 0x11A58, B::SpacingMark}, {0x11A59, 0x11A5B, B::Extend}, {0x11A84, 0x11A89, B::Prepend},
{0x11A8A, 0x11A96, B::Extend}, {0x11A97, 0x11A97, B::SpacingMark}, {0x11A98, 0x11A99, B::Extend},
{0x11C2F, 0x11C2F, B::SpacingMark}, {0x11C30, 0x11C36, B::Extend}, {0x11C38, 0x11C3D, B::Extend},
{0x11C3E, 0x11C3E, B::SpacingMark}, {0x11C3F, 0x11C3F, B::Extend}, {0x11C92, 0x11CA7, B::Extend},
{0x11CA9, 0x11CA9, B::SpacingMark}, {0x11CAA, 0x11CB0, B::Extend}, {0x11CB1, 0x11CB1, B::SpacingMark},
{0x11CB2, 0x11CB3, B::Extend}, {0x11CB4, 0x11CB4, B::SpacingMark}, {0x11CB5, 0x11CB6, B::Extend},
{0x11D31, 0x11D36, B::Extend}, {0x11D3A, 0x11D3A, B::Extend}, {0x11D3C, 0x11D3D, B::Extend},
{0x11D3F, 0x11D45, B::Extend}, {0x11D46, 0x11D46, B::Prepend}, {0x11D47, 0x11D47, B::Extend},
{0x11D8A, 0x11D8E, B::SpacingMark}, {0x11D90, 0x11D91, B::Extend}, {0x11D93, 0x11D94, B::SpacingMark},
{0x11D95, 0x11D95, B::Extend}, {0x11D96, 0x11D96, B::SpacingMark}, {0x11D97, 0x11D97, B::Extend},
{0x11EF3, 0x11EF4, B::Extend}, {0x11EF5, 0x11EF6, B::SpacingMark}, {0x13430, 0x13438, B::Control},
{0x16AF0, 0x16AF4, B::Extend}, {0x16B30, 0x16B36, B::Extend}, {0x16F4F, 0x16F4F, B::Extend},
{0x16F51, 0x16F87, B::SpacingMark}, {0x16F8F, 0x16F92, B::Extend}, {0x16FE4, 0x16FE4, B::Extend},
{0x16FF0, 0x16FF1, B::SpacingMark}, {0x1BC9D, 0x1BC9E, B::Extend}, {0x1BCA0, 0x1BCA3, B::Control},
{0x1CF00, 0x1CF2D, B::Extend}, {0x1CF30, 0x1CF46, B::Extend}, {0x1D165, 0x1D165, B::Extend},
{0x1D166, 0x1D166, B::SpacingMark}, {0x1D167, 0x1D169, B::Extend}, {0x1D16D, 0x1D16D, B::SpacingMark},
{0x1D16E, 0x1D172, B::Extend}, {0x1D173, 0x1D17A, B::Control}, {0x1D17B, 0x1D182, B::Extend},
{0x1D185, 0x1D18B, B::Extend}, {0x1D1AA, 0x1D1AD, B::Extend}, {0x1D242, 0x1D244, B::Extend},
{0x1DA00, 0x1DA36, B::Extend}, {0x1DA3B, 0x1DA6C, B::Extend}, {0x1DA75, 0x1DA75, B::Extend},
{0x1DA84, 0x1DA84, B::Extend}, {0x1DA9B, 0x1DA9F, B::Extend}, {0x1DAA1, 0x1DAAF, B::Extend},
{0x1E000, 0x1E006, B::Extend}, {0x1E008, 0x1E018, B::Extend}, {0x1E01B, 0x1E021, B::Extend},
{0x1E023, 0x1E024, B::Extend}, {0x1E026, 0x1E02A, B::Extend}, {0x1E130, 0x1E136, B::Extend},
{0x1E2AE, 0x1E2AE, B::Extend}, {0x1E2EC, 0x1E2EF, B::Extend}, {0x1E8D0, 0x1E8D6, B::Extend},
{0x1E944, 0x1E94A, B::Extend}, {0x1F1E6, 0x1F1FF, B::RegionalIndicator}, {0x1F3FB, 0x1F3FF, B::Extend},
{0xE0000, 0xE001F, B::Control}, {0xE0020, 0xE007F, B::Extend}, {0xE0080, 0xE00FF, B::Control},
{0xE0100, 0xE01EF, B::Extend}, {0xE01F0, 0xE0FFF, B::Control},
};

// Extended_Pictographic from Unicode 14.0 emoji-data.txt.
constexpr PictographicRange kPictographicTable[] = {
{0x00A9, 0x00A9}, {0x00AE, 0x00AE}, {0x203C, 0x203C}, {0x2049, 0x2049}, {0x2122, 0x2122},
{0x2139, 0x2139}, {0x2194, 0x2199}, {0x21A9, 0x21AA}, {0x231A, 0x231B}, {0x2328, 0x2328},
{0x2388, 0x2388}, {0x23CF, 0x23CF}, {0x23E9, 0x23F3}, {0x23F8, 0x23FA}, {0x24C2, 0x24C2},
{0x25AA, 0x25AB}, {0x25B6, 0x25B6}, {0x25C0, 0x25C0}, {0x25FB, 0x25FE}, {0x2600, 0x2605},
{0x2607, 0x2612}, {0x2614, 0x2685}, {0x2690, 0x2705}, {0x2708, 0x2712}, {0x2714, 0x2714},
{0x2716, 0x2716}, {0x271D, 0x271D}, {0x2721, 0x2721}, {0x2728, 0x2728}, {0x2733, 0x2734},
{0x2744, 0x2744}, {0x2747, 0x2747}, {0x274C, 0x274C}, {0x274E, 0x274E}, {0x2753, 0x2755},
{0x2757, 0x2757}, {0x2763, 0x2767}, {0x2795, 0x2797}, {0x27A1, 0x27A1}, {0x27B0, 0x27B0},
{0x27BF, 0x27BF}, {0x2934, 0x2935}, {0x2B05, 0x2B07}, {0x2B1B, 0x2B1C}, {0x2B50, 0x2B50},
{0x2B55, 0x2B55}, {0x3030, 0x3030}, {0x303D, 0x303D}, {0x3297, 0x3297}, {0x3299, 0x3299},
{0x1F000, 0x1F0FF}, {0x1F10D, 0x1F10F}, {0x1F12F, 0x1F12F}, {0x1F16C, 0x1F171}, {0x1F17E, 0x1F17F},
{0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F1AD, 0x1F1E5}, {0x1F201, 0x1F20F}, {0x1F21A, 0x1F21A},
{0x1F22F, 0x1F22F}, {0x1F232, 0x1F23A}, {0x1F23C, 0x1F23F}, {0x1F249, 0x1F3FA}, {0x1F400, 0x1F53D},
{0x1F546, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F774, 0x1F77F}, {0x1F7D5, 0x1F7FF}, {0x1F80C, 0x1F80F},
{0x1F848, 0x1F84F}, {0x1F85A, 0x1F85F}, {0x1F888, 0x1F88F}, {0x1F8AE, 0x1F8FF}, {0x1F90C, 0x1F93A},
{0x1F93C, 0x1F945}, {0x1F947, 0x1FAFF}, {0x1FC00, 0x1FFFD},
};
// clang-format on

constexpr char32_t kReplacement = 0xFFFD;

B breakProperty(char32_t cp) {
    if (cp >= 0xAC00 && cp <= 0xD7A3) {
        // Precomposed Hangul syllables: LV when there is no trailing consonant.
        return (cp - 0xAC00) % 28 == 0 ? B::LV : B::LVT;
    }
    const auto* end = std::end(kBreakTable);
    const auto* it = std::upper_bound(std::begin(kBreakTable), end, cp,
                                      [](char32_t c, const Range& r) { return c < r.first; });
    if (it == std::begin(kBreakTable)) {
        return B::Other;
    }
    --it;
    return cp <= it->last ? it->property : B::Other;
}

bool isPictographic(char32_t cp) {
    const auto* end = std::end(kPictographicTable);
    const auto* it =
        std::upper_bound(std::begin(kPictographicTable), end, cp,
                         [](char32_t c, const PictographicRange& r) { return c < r.first; });
    if (it == std::begin(kPictographicTable)) {
        return false;
    }
    --it;
    return cp <= it->last;
}

struct Decoded {
    char32_t cp;
    std::size_t length;
    bool isValid;
};

// Decodes one code point at `i`. An ill-formed sequence yields U+FFFD covering its maximal
// subpart (the lead byte and the continuation bytes that could still have belonged to it).
Decoded decodeAt(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlongs
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        return {kReplacement, 1, false};
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (i + k >= text.size()) {
            return {kReplacement, k, false};
        }
        const unsigned char c = byte(i + k);
        const bool inRange = k == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
        if (!inRange) {
            return {kReplacement, k, false};
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    return {cp, length, true};
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isControlLike(B b) {
    return b == B::Control || b == B::CR || b == B::LF;
}

// Walks well-formed UTF-8 and reports where each user-perceived character ends.
class BoundaryWalker {
  public:
    explicit BoundaryWalker(std::string_view text) : text_(text) {}

    // The byte offset just past the next character, or npos at the end.
    std::size_t next() {
        if (pos_ >= text_.size()) {
            return std::string_view::npos;
        }
        consume();  // the first code point always starts a character
        while (pos_ < text_.size()) {
            const Decoded d = decodeAt(text_, pos_);
            if (isBreakBefore(d.cp)) {
                break;
            }
            consume();
        }
        return pos_;
    }

  private:
    void consume() {
        const Decoded d = decodeAt(text_, pos_);
        const B b = breakProperty(d.cp);
        const bool pictographic = isPictographic(d.cp);
        // Track "pictograph, extenders, ZWJ" for emoji sequences and the run of regional
        // indicators for flag pairs.
        if (pictographic) {
            pictographThenExtends_ = true;
            zwjAfterPictograph_ = false;
        } else if (b == B::ZWJ) {
            zwjAfterPictograph_ = pictographThenExtends_;
            pictographThenExtends_ = false;
        } else if (b != B::Extend) {
            pictographThenExtends_ = false;
            zwjAfterPictograph_ = false;
        } else {
            zwjAfterPictograph_ = false;
        }
        regionalRun_ = b == B::RegionalIndicator ? regionalRun_ + 1 : 0;
        previous_ = b;
        pos_ += d.length;
    }

    bool isBreakBefore(char32_t cp) const {
        const B prev = previous_;
        const B cur = breakProperty(cp);
        if (prev == B::CR && cur == B::LF) {
            return false;
        }
        if (isControlLike(prev) || isControlLike(cur)) {
            return true;
        }
        if (prev == B::L && (cur == B::L || cur == B::V || cur == B::LV || cur == B::LVT)) {
            return false;
        }
        if ((prev == B::LV || prev == B::V) && (cur == B::V || cur == B::T)) {
            return false;
        }
        if ((prev == B::LVT || prev == B::T) && cur == B::T) {
            return false;
        }
        if (cur == B::Extend || cur == B::ZWJ || cur == B::SpacingMark || prev == B::Prepend) {
            return false;
        }
        if (prev == B::ZWJ && zwjAfterPictograph_ && isPictographic(cp)) {
            return false;
        }
        if (prev == B::RegionalIndicator && cur == B::RegionalIndicator) {
            return regionalRun_ % 2 == 0;  // pairs: the second indicator of a pair joins
        }
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    B previous_ = B::Other;
    bool pictographThenExtends_ = false;
    bool zwjAfterPictograph_ = false;
    std::size_t regionalRun_ = 0;
};

bool isWellFormed(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const Decoded d = decodeAt(text, i);
        if (!d.isValid) {
            return false;
        }
        i += d.length;
    }
    return true;
}

}  // namespace

std::string sanitized(std::string_view text) {
    if (isWellFormed(text)) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        const Decoded d = decodeAt(text, i);
        if (d.isValid) {
            out.append(text.substr(i, d.length));
        } else {
            appendUtf8(out, kReplacement);
        }
        i += d.length;
    }
    return out;
}

std::size_t count(std::string_view text) {
    const std::string clean = sanitized(text);
    BoundaryWalker walker(clean);
    std::size_t characters = 0;
    while (walker.next() != std::string_view::npos) {
        ++characters;
    }
    return characters;
}

std::string prefix(std::string_view text, std::size_t maxCharacters) {
    std::string clean = sanitized(text);
    BoundaryWalker walker(clean);
    std::size_t end = 0;
    for (std::size_t n = 0; n < maxCharacters; ++n) {
        const std::size_t boundary = walker.next();
        if (boundary == std::string_view::npos) {
            return clean;
        }
        end = boundary;
    }
    clean.resize(end);
    return clean;
}

}  // namespace noctave::graphemes
