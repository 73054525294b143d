#include "platform/buffer.h"

#include <cstring>

#include "platform/host.h"
#include "platform/trace.h"

NbResult NbMemoryFree(void* address) {
    if (address == nullptr) return NB_INVALID_ADDRESS;
    return NbHost().PageFree(address);
}

CNimbraBase::CNimbraBase() {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", "CNimbraBase::CNimbraBase");
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "--- %s\n", "CNimbraBase::CNimbraBase");
}

CNimbraBase::~CNimbraBase() {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", "CNimbraBase::~CNimbraBase");
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "--- %s\n", "CNimbraBase::~CNimbraBase");
}

void CNimbraBase::operator delete(void* address) {
    static const char kName[] = "CNimbraBase::operator delete";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s( 0x%p )\n", kName, address);
    const NbResult code = NbMemoryFree(address);
    if (code != NB_OK) NbTrace(NB_TRACE_WARNING, NbTraceContext, "%s NbMemoryFree( 0x%p ) %u\n", kName, address, code);
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "--- %s\n", kName);
}

CNimbraBuffer::CNimbraBuffer() {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ CNimbraBuffer::CNimbraBuffer\n");
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "--- CNimbraBuffer::CNimbraBuffer\n");
}

CNimbraBuffer::~CNimbraBuffer() {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ CNimbraBuffer::~CNimbraBuffer\n");
    (void)Free();  // a destructor has no one to tell
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "--- CNimbraBuffer::~CNimbraBuffer\n");
}

NbResult CNimbraBuffer::Allocate(std::uint32_t size, bool zeroFill) {
    static const char kName[] = "CNimbraBuffer::Allocate";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ CNimbraBuffer::Allocate\n");
    if (Data != nullptr) NB_RETURN(kName, NB_INVALID_DATA);
    void* address = nullptr;
    const NbResult code = NbHost().PageAlloc(size, &address);
    if (code != NB_OK) NB_RETURN(kName, code);
    Data = static_cast<std::uint8_t*>(address);
    Size = size;
    if (zeroFill) std::memset(Data, 0, size);
    NB_RETURN(kName, NB_OK);
}

NbResult CNimbraBuffer::Free() {
    static const char kName[] = "CNimbraBuffer::Free";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ CNimbraBuffer::Free\n");
    if (Data == nullptr) NB_RETURN(kName, NB_OK);
    const NbResult code = NbMemoryFree(Data);
    Data = nullptr;
    Size = 0;
    NB_RETURN(kName, code);
}
