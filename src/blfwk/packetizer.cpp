#include "blfwk/packetizer.h"

namespace blfwk {

Packetizer::Packetizer(Peripheral* peripheral, uint32_t packetTimeoutMs)
    : m_peripheral(peripheral)
    , m_packetTimeoutMs(packetTimeoutMs)
{ }

Packetizer::~Packetizer()
{
    delete m_peripheral;
}

} // namespace blfwk
