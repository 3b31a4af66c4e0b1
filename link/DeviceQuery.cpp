#include "link/DeviceQuery.h"

#include "link/BootLoaderBytes.h"
#include "link/DeviceText.h"

#include <QCoreApplication>

namespace rq70 {

bool CheckPresence(SerialLink& link, int timeoutMs) {
    link.SendByte(ProbeCommand);
    link.WaitForInput(1, timeoutMs);
    return link.ReadByte().Is(AckByte);
}

std::optional<QString> QueryDeviceInfo(SerialLink& link, int start, int timeoutMs,
                                       const std::function<bool()>& stopAsked) {
    if (!link.FlushInput())
        return std::nullopt;

    // One exchange for the command and its acknowledge, one for the address and its byte; the
    // first port failure ends the query.
    const auto exchange = [&](std::uint8_t out) -> std::optional<ByteRead> {
        if (!link.SendByte(out) || !link.WaitForInput(1, timeoutMs))
            return std::nullopt;
        const ByteRead reply = link.ReadByte();
        if (reply.kind == ByteRead::Failed)
            return std::nullopt;
        return reply;
    };

    QByteArray text;
    for (int address = std::max(start, 0); address <= 255; ++address) {
        if (stopAsked && stopAsked())
            return std::nullopt;
        const std::optional<ByteRead> ack = exchange(ReadByteCommand);
        if (!ack)
            return std::nullopt;
        if (!ack->Is(AckByte))
            return QString::fromLatin1(NoDeviceInformation);

        const std::optional<ByteRead> data = exchange(static_cast<std::uint8_t>(address));
        if (!data)
            return std::nullopt;
        if (data->Is(0x00) || data->Is(0xFF))
            break;
        // A byte that did not come in time adds nothing; the next address is read all the same.
        if (data->kind == ByteRead::Byte)
            text += static_cast<char>(data->value);
        QCoreApplication::processEvents();
    }
    return DecodeDeviceText(text);
}

} // namespace rq70
