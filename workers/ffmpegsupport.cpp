#include "ffmpegsupport.h"

#include "app/logcategories.h"

#include <QByteArray>
#include <QByteArrayList>

#include <cstdarg>
#include <mutex>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace {

// FFmpeg writes a line in pieces (a prefix call, then the text); pieces are collected per thread
// until the line ends. A damaged stream makes the decoder repeat the same few lines for every
// picture: a line equal to one of the last few lines of its thread is left out.
constexpr int kRecentLines = 8;

struct LogLineState
{
    QByteArray pending;
    QByteArrayList recent;
    int printPrefix = 1;
};

void forwardLogMessage(void* avClass, int level, const char* format, va_list arguments)
{
    if (level > AV_LOG_WARNING)
        return;
    thread_local LogLineState state;
    char piece[1024];
    va_list copy;
    va_copy(copy, arguments);
    av_log_format_line2(avClass, level, format, copy, piece, sizeof piece, &state.printPrefix);
    va_end(copy);
    state.pending += piece;
    if (!state.pending.endsWith('\n'))
        return;
    state.pending.chop(1);
    if (!state.recent.contains(state.pending)) {
        qCDebug(lcPreview).noquote() << "FFmpeg:" << QString::fromUtf8(state.pending);
        state.recent.append(state.pending);
        if (state.recent.size() > kRecentLines)
            state.recent.removeFirst();
    }
    state.pending.clear();
}

} // namespace

void initFfmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_callback(&forwardLogMessage);
        avdevice_register_all();
        avformat_network_init();
    });
}

QString ffmpegErrorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return QString::fromUtf8(text);
}
