// Powers of ten to 32 significant bits, for the output fields' five-digit
// road (five_digits.hpp).
#pragma once

#include <cstdint>
#include <iterator>

namespace curvedump {

// 10^power ~ significand * 2^exponent, the significand in [2^31, 2^32) and
// rounded to nearest, ties to even: relative error at most 2^-32, none for
// 0 <= power <= 13.
// A committed table rather than one computed at compile time, which would
// take more steps than some compilers allow; a test checks every entry
// against exact integer arithmetic.
struct Power {
    std::uint32_t significand;
    int exponent;
};

inline constexpr int min_power = -34;
inline constexpr Power powers_of_ten[] = {
    {0x84EC3C98, -144}, {0xA6274BBE, -141}, {0xCFB11EAD, -138}, // 10^-34
    {0x81CEB32C, -134}, {0xA2425FF7, -131}, {0xCAD2F7F5, -128}, // 10^-31
    {0xFD87B5F3, -125}, {0x9E74D1B8, -121}, {0xC6120625, -118}, // 10^-28
    {0xF79687AF, -115}, {0x9ABE14CD, -111}, {0xC16D9A01, -108}, // 10^-25
    {0xF1C90081, -105}, {0x971DA050, -101}, {0xBCE50865, -98},  // 10^-22
    {0xEC1E4A7E, -95},  {0x9392EE8F, -91},  {0xB877AA32, -88},  // 10^-19
    {0xE69594BF, -85},  {0x901D7CF7, -81},  {0xB424DC35, -78},  // 10^-16
    {0xE12E1342, -75},  {0x8CBCCC09, -71},  {0xAFEBFF0C, -68},  // 10^-13
    {0xDBE6FECF, -65},  {0x89705F41, -61},  {0xABCC7712, -58},  // 10^-10
    {0xD6BF94D6, -55},  {0x8637BD06, -51},  {0xA7C5AC47, -48},  // 10^-7
    {0xD1B71759, -45},  {0x83126E98, -41},  {0xA3D70A3D, -38},  // 10^-4
    {0xCCCCCCCD, -35},  {0x80000000, -31},  {0xA0000000, -28},  // 10^-1
    {0xC8000000, -25},  {0xFA000000, -22},  {0x9C400000, -18},  // 10^2
    {0xC3500000, -15},  {0xF4240000, -12},  {0x98968000, -8},   // 10^5
    {0xBEBC2000, -5},   {0xEE6B2800, -2},   {0x9502F900, 2},    // 10^8
    {0xBA43B740, 5},    {0xE8D4A510, 8},    {0x9184E72A, 12},   // 10^11
    {0xB5E620F4, 15},   {0xE35FA932, 18},   {0x8E1BC9BF, 22},   // 10^14
    {0xB1A2BC2F, 25},   {0xDE0B6B3A, 28},   {0x8AC72305, 32},   // 10^17
    {0xAD78EBC6, 35},   {0xD8D726B7, 38},   {0x87867832, 42},   // 10^20
    {0xA968163F, 45},   {0xD3C21BCF, 48},   {0x84595161, 52},   // 10^23
    {0xA56FA5BA, 55},   {0xCECB8F28, 58},   {0x813F3979, 62},   // 10^26
    {0xA18F07D7, 65},   {0xC9F2C9CD, 68},   {0xFC6F7C40, 71},   // 10^29
    {0x9DC5ADA8, 75},   {0xC5371912, 78},   {0xF684DF57, 81},   // 10^32
    {0x9A130B96, 85},   {0xC097CE7C, 88},   {0xF0BDC21B, 91},   // 10^35
    {0x96769951, 95},   {0xBC143FA5, 98},   {0xEB194F8E, 101},  // 10^38
    {0x92EFD1B9, 105},  {0xB7ABC627, 108},  {0xE596B7B1, 111},  // 10^41
    {0x8F7E32CE, 115},  {0xB35DBF82, 118},  {0xE0352F63, 121},  // 10^44
    {0x8C213D9E, 125},  {0xAF298D05, 128},  {0xDAF3F046, 131},  // 10^47
};
inline constexpr int max_power = min_power + static_cast<int>(std::size(powers_of_ten)) - 1;

} // namespace curvedump
