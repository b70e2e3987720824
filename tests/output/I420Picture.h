#pragma once

#include "engine/WrappedPicture.h"

#include <QtGlobal>

#include <functional>
#include <memory>
#include <vector>

// An I420 picture for tests: `stride` bytes per luma row (chroma rows (stride + 1) / 2),
// planes one after the other, filled from per-plane functions of the pixel position.
struct I420Picture
{
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<uchar> data;

    I420Picture(int w, int h, int s = 0) : width(w), height(h), stride(s ? s : w)
    {
        data.assign(static_cast<size_t>(stride * height + 2 * chromaStride() * chromaHeight()),
                    0xEE);
    }
    int chromaStride() const { return (stride + 1) / 2; }
    int chromaHeight() const { return (height + 1) / 2; }
    uchar *y() { return data.data(); }
    uchar *u() { return data.data() + stride * height; }
    uchar *v() { return u() + chromaStride() * chromaHeight(); }

    // The picture as the outputs take it (valid while the picture lives and keeps its size).
    const AVFrame *frame() const
    {
        if (!m_wrapped)
            m_wrapped = std::make_shared<WrappedPicture>();
        return m_wrapped->wrap(data.data(), width, height, stride);
    }

    using Fill = std::function<int(int x, int y)>;
    // Padding bytes keep 0xEE, so a reader that ignores the stride shows it.
    void fill(const Fill &fy, const Fill &fu, const Fill &fv)
    {
        for (int row = 0; row < height; ++row)
            for (int col = 0; col < width; ++col)
                y()[row * stride + col] = static_cast<uchar>(fy(col, row));
        for (int row = 0; row < chromaHeight(); ++row)
            for (int col = 0; col < (width + 1) / 2; ++col) {
                u()[row * chromaStride() + col] = static_cast<uchar>(fu(col, row));
                v()[row * chromaStride() + col] = static_cast<uchar>(fv(col, row));
            }
    }
    void solid(int yv, int uv, int vv)
    {
        fill([=](int, int) { return yv; }, [=](int, int) { return uv; },
             [=](int, int) { return vv; });
    }

private:
    mutable std::shared_ptr<WrappedPicture> m_wrapped;
};

// Reads a packed I420 frame of width x height.
struct PackedI420
{
    const uchar *base;
    int width;
    int height;
    int y(int x, int row) const { return base[row * width + x]; }
    int u(int x, int row) const { return base[width * height + row * (width / 2) + x]; }
    int v(int x, int row) const
    {
        return base[width * height + (width / 2) * (height / 2) + row * (width / 2) + x];
    }
};
