#pragma once

#include <cstddef>
#include <cstdint>

// The few types and entry points of the NDI runtime (libndi.so.6 / libndi.so.5) that the NDI
// renderer uses, declared from the public NDI SDK documentation because the SDK's headers are
// not shipped with this program. The runtime is loaded at run time (NdiRuntime), so only the
// function pointer types are declared here, never the functions themselves. The layouts are
// the C layouts of the documented structures; the static_asserts pin them for 64-bit Linux.

extern "C" {

// Opaque sender handle.
struct NDIlib_send_instance_type;
typedef NDIlib_send_instance_type *NDIlib_send_instance_t;

// Creation parameters of a sender.
struct NDIlib_send_create_t
{
    const char *p_ndi_name; // UTF-8 source name; null: the runtime picks one
    const char *p_groups;   // null: the default groups
    bool clock_video;       // the runtime paces video to its frame rate
    bool clock_audio;       // the runtime paces audio to its sample rate
};

// A video frame. I420: Y plane of line_stride_in_bytes per row, then the U and V planes with
// half that stride, one after the other in the same buffer.
struct NDIlib_video_frame_v2_t
{
    int xres;
    int yres;
    int FourCC; // NDIlib_FourCC_video_type_e
    int frame_rate_N;
    int frame_rate_D;
    float picture_aspect_ratio; // 0: xres / yres (square pixels)
    int frame_format_type;      // NDIlib_frame_format_type_e
    int64_t timecode;           // 100 ns units; NDIlib_send_timecode_synthesize
    uint8_t *p_data;
    int line_stride_in_bytes; // a union with data_size_in_bytes in the SDK
    const char *p_metadata;   // XML or null
    int64_t timestamp;        // filled in on the receiving side
};

// An audio frame: 32-bit float samples, planar, channel_stride_in_bytes from one channel's
// first sample to the next channel's.
struct NDIlib_audio_frame_v2_t
{
    int sample_rate;
    int no_channels;
    int no_samples; // per channel
    int64_t timecode;
    float *p_data;
    int channel_stride_in_bytes;
    const char *p_metadata;
    int64_t timestamp;
};

typedef bool (*NDIlib_initialize_fn)(void);
typedef void (*NDIlib_destroy_fn)(void);
typedef const char *(*NDIlib_version_fn)(void);
typedef NDIlib_send_instance_t (*NDIlib_send_create_fn)(
    const NDIlib_send_create_t *p_create_settings);
typedef void (*NDIlib_send_destroy_fn)(NDIlib_send_instance_t p_instance);
typedef void (*NDIlib_send_send_video_v2_fn)(NDIlib_send_instance_t p_instance,
                                             const NDIlib_video_frame_v2_t *p_video_data);
typedef void (*NDIlib_send_send_audio_v2_fn)(NDIlib_send_instance_t p_instance,
                                             const NDIlib_audio_frame_v2_t *p_audio_data);

} // extern "C"

// NDI_LIB_FOURCC('I', '4', '2', '0'): Y, then U, then V, one buffer, chroma rows half the stride.
constexpr int kNdiFourCcI420 = 0x30323449;
// NDI_LIB_FOURCC('N', 'V', '1', '2'): Y, then interleaved UV, one buffer, one stride.
constexpr int kNdiFourCcNv12 = 0x3231564E;
// NDI_LIB_FOURCC('U', 'Y', 'V', 'Y'): packed 4:2:2.
constexpr int kNdiFourCcUyvy = 0x59565955;
// NDIlib_frame_format_type_progressive.
constexpr int kNdiFrameFormatProgressive = 1;
// NDIlib_send_timecode_synthesize: the runtime makes the timecode.
constexpr int64_t kNdiTimecodeSynthesize = INT64_MAX;

#if defined(__x86_64__) || defined(__aarch64__)
static_assert(sizeof(NDIlib_send_create_t) == 24, "NDIlib_send_create_t layout");
static_assert(offsetof(NDIlib_send_create_t, clock_audio) == 17, "NDIlib_send_create_t layout");
static_assert(offsetof(NDIlib_video_frame_v2_t, picture_aspect_ratio) == 20, "video frame");
static_assert(offsetof(NDIlib_video_frame_v2_t, timecode) == 32, "video frame layout");
static_assert(offsetof(NDIlib_video_frame_v2_t, p_data) == 40, "video frame layout");
static_assert(offsetof(NDIlib_video_frame_v2_t, line_stride_in_bytes) == 48, "video frame");
static_assert(offsetof(NDIlib_video_frame_v2_t, timestamp) == 64, "video frame layout");
static_assert(sizeof(NDIlib_video_frame_v2_t) == 72, "video frame layout");
static_assert(offsetof(NDIlib_audio_frame_v2_t, timecode) == 16, "audio frame layout");
static_assert(offsetof(NDIlib_audio_frame_v2_t, p_data) == 24, "audio frame layout");
static_assert(offsetof(NDIlib_audio_frame_v2_t, channel_stride_in_bytes) == 32, "audio frame");
static_assert(sizeof(NDIlib_audio_frame_v2_t) == 56, "audio frame layout");
#endif
