#pragma once

#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstring>

// Plain types of the output adapter: identifiers, result codes and the frame properties
// record. The record's layout is the one the output object has always exchanged with its
// frame factory, so the offsets are pinned by static_asserts below.

// A class or interface identifier, {d1-d2-d3-d4[0..1]-d4[2..7]}.
struct MFGuid
{
    quint32 d1;
    quint16 d2;
    quint16 d3;
    quint8 d4[8];

    bool operator==(const MFGuid &other) const
    {
        return std::memcmp(this, &other, sizeof *this) == 0;
    }
    bool operator!=(const MFGuid &other) const { return !(*this == other); }
};

// Results are integers; negative means failure (the values of the usual COM codes).
constexpr int kMfOk = 0;
constexpr int kMfFalse = 1;
constexpr int kMfFail = static_cast<int>(0x80004005u);
constexpr int kMfNoInterface = static_cast<int>(0x80004002u);
constexpr int kMfPointer = static_cast<int>(0x80004003u);
constexpr int kMfInvalidArg = static_cast<int>(0x80070057u);
constexpr int kMfClassNotRegistered = static_cast<int>(0x80040154u);
constexpr int kMfNoAggregation = static_cast<int>(0x80040110u);

// Class context the output object asks for (all contexts).
constexpr quint32 kMfClsCtxAll = 0x17;

// Device types of IMFDevice; the NDI renderer's devices are type 0.
enum eMFDeviceType
{
    eMFDT_Video = 0,
    eMFDT_Audio = 1,
};

// Colour format code of planar YUV 4:2:0, the characters "I420" read little-endian.
constexpr qint32 kMfFccI420 = 0x30323449;

// Audio part of the properties record (starts at offset 48 of the whole record).
struct MFAudioProps
{
    qint32 channels;
    qint32 sampleRate;
    qint32 bitsPerSample;
    qint32 reserved[5];
};

// Video part of the properties record (offset 0).
struct MFVideoProps
{
    qint32 reserved0;
    qint32 fcc;      // colour format, kMfFccI420 or 0
    qint32 width;    // pixels
    qint32 height;   // pixels
    qint32 rowBytes; // bytes per luma row; 0 means rows packed (width bytes)
    // Frame rate of the stream as an exact fraction (30000/1001 for 29.97), live frames only;
    // 0/0 when not given (card frames). Our own addition in a field the frame factory never
    // used, so the fixed offsets above and the record's size stay as they were.
    qint32 rateNum;
    qint32 rateDen;
    qint32 reserved[5];
};

// The frame properties record, 2144 bytes.
struct MFFrameProps
{
    MFVideoProps video;
    MFAudioProps audio;
    quint8 reserved[2144 - sizeof(MFVideoProps) - sizeof(MFAudioProps)];
};

static_assert(sizeof(MFFrameProps) == 2144, "properties record size");
static_assert(offsetof(MFFrameProps, video) + offsetof(MFVideoProps, fcc) == 4, "colour format");
static_assert(offsetof(MFFrameProps, video) + offsetof(MFVideoProps, width) == 8, "width");
static_assert(offsetof(MFFrameProps, video) + offsetof(MFVideoProps, height) == 12, "height");
static_assert(offsetof(MFFrameProps, video) + offsetof(MFVideoProps, rowBytes) == 16, "row bytes");
static_assert(offsetof(MFFrameProps, video) + offsetof(MFVideoProps, rateNum) == 20, "rate");
static_assert(offsetof(MFFrameProps, video) + offsetof(MFVideoProps, rateDen) == 24, "rate");
static_assert(sizeof(MFVideoProps) == 48, "video part");
static_assert(offsetof(MFFrameProps, audio) == 48, "audio part");
static_assert(offsetof(MFFrameProps, audio) + offsetof(MFAudioProps, channels) == 48, "channels");
static_assert(offsetof(MFFrameProps, audio) + offsetof(MFAudioProps, sampleRate) == 52,
              "sample rate");
static_assert(offsetof(MFFrameProps, audio) + offsetof(MFAudioProps, bitsPerSample) == 56,
              "bits per sample");

// Identifiers the output object creates and queries its objects by.
constexpr MFGuid kCLSID_MFFactory = {
    0x4F365177, 0x473F, 0x4AD5, {0xA5, 0xC2, 0x42, 0x8F, 0xE0, 0xC8, 0xE0, 0x3E}};
constexpr MFGuid kCLSID_MFSink = {
    0xC08B164D, 0x5CCF, 0x4251, {0xB2, 0x2F, 0x27, 0xAA, 0xA7, 0xEC, 0xAB, 0xF3}};
constexpr MFGuid kCLSID_MFPreview = {
    0x49859777, 0x08F5, 0x4C7A, {0xB4, 0x39, 0x32, 0x55, 0xA8, 0xA8, 0xE9, 0xE4}};
constexpr MFGuid kCLSID_MFNdiRenderer = {
    0xC08A797D, 0x5CCF, 0x4251, {0xB2, 0x2F, 0x27, 0xAA, 0xA7, 0xEC, 0xAB, 0xF3}};

constexpr MFGuid kIID_IMFUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr MFGuid kIID_IMFFactory = {
    0x4F365010, 0x473F, 0x4AD5, {0xA5, 0xC2, 0x42, 0x8F, 0xE0, 0xC8, 0xE0, 0x3E}};
constexpr MFGuid kIID_IMFSink = {
    0x10DB4AB7, 0x89AF, 0x4CD2, {0x90, 0xA4, 0xFB, 0x91, 0xB3, 0x2D, 0xB3, 0xE0}};
constexpr MFGuid kIID_IMFPreview = {
    0x4F366160, 0x473F, 0x4AD5, {0xA5, 0xC2, 0x42, 0x8F, 0xE0, 0xC8, 0xE0, 0x3E}};
constexpr MFGuid kIID_IMFDevice = {
    0x10DB43D6, 0x89AF, 0x4CD2, {0x90, 0xA4, 0xFB, 0x91, 0xB3, 0x2D, 0xB3, 0xE0}};
constexpr MFGuid kIID_IMFReceiver = {
    0xCD799F87, 0x3FD4, 0x4237, {0x92, 0xD4, 0xD1, 0x87, 0xB5, 0x88, 0xD9, 0x99}};
constexpr MFGuid kIID_IMFProps = {
    0x4F366720, 0x473F, 0x4AD5, {0xA5, 0xC2, 0x42, 0x8F, 0xE0, 0xC8, 0xE0, 0x3E}};
// The frame interface is only ever handed out by the factory; its identifier is our own.
constexpr MFGuid kIID_IMFFrame = {
    0x6A1E3C20, 0x51B4, 0x4E0F, {0x9C, 0x1D, 0x7B, 0x20, 0x4F, 0x3A, 0x88, 0x15}};
// The sink status interface is our own too.
constexpr MFGuid kIID_IMFSinkStatus = {
    0x6A1E3C21, 0x51B4, 0x4E0F, {0x9C, 0x1D, 0x7B, 0x20, 0x4F, 0x3A, 0x88, 0x15}};
