// The utility object: every component reaches memory, byte order, numbers as text, text
// filtering, message framing and key file references through one instance of it. Blocks
// come from MyNewPtr (filled with spaces) and go back with MyDisposeptr.
#ifndef VELDORAN_PLATFORM_TYPUTILS_H
#define VELDORAN_PLATFORM_TYPUTILS_H

#include <stdint.h>

class TypFileRef;
struct TypKeyHeader;

class TypUtils {
  public:
    TypUtils() = default;
    TypUtils(const TypUtils&) = delete;
    TypUtils& operator=(const TypUtils&) = delete;

    // The virtual slot order is part of the design: do not reorder.

    // Always 0; the argument is not used.
    virtual int32_t InitCreate(unsigned char* unused);
    // A new block of size bytes, every byte a space (0x20); null when memory is short. Never
    // throws. A size of 0 gives a valid, non-null block.
    virtual unsigned char* MyNewPtr(uint32_t size);
    // Gives the block back and clears the caller's variable; a null address does nothing.
    virtual void MyDisposeptr(unsigned char** block, uint32_t length);
    // Copies count bytes; the two ranges must not overlap.
    virtual void MyBlockMove(const void* source, void* destination, uint32_t count);
    // Signed decimal, NUL-terminated; destination holds at least 12 bytes.
    virtual void MyNumToString(int32_t number, char* destination);
    // A new, initialised file reference for <key folder>Clefs/<name>, owned by the caller;
    // null when the path does not fit or memory is short.
    virtual TypFileRef* GetFileRefForKeyName(const char* name);
    // Copies count bytes at *position to destination (null skips them) and advances the
    // position; does nothing at all when position + count exceeds sourceLength or either is
    // negative.
    virtual void MyExtractFromPtr(const unsigned char* source, int32_t sourceLength,
                                  unsigned char* destination, int32_t count, int32_t* position);
    // Advances *position by count and, when copySwitch is 1, copies count bytes there first.
    // Callers measure with copySwitch 0, allocate, then fill with copySwitch 1. Does nothing at
    // all when count or the position is negative, when the new position would pass INT32_MAX,
    // or when a copy is asked for with a null source or destination.
    virtual void MyAppendToPtr(const unsigned char* source, int32_t count,
                               unsigned char* destination, int32_t* position, int32_t copySwitch);
    // A new file reference for the key file a header (in host order) names, or null.
    virtual TypFileRef* GetKeyFileRef(TypKeyHeader* header);
    // Writes value as eight upper-case hexadecimal digits at *cursor and advances it by 8.
    virtual void PushLongHexaAtAddress(uint32_t value, unsigned char** cursor);
    // Reads eight hexadecimal digits at *cursor (not validated) and advances it by 8.
    virtual uint32_t PopHexaFromAddress(const unsigned char** cursor);
    // Position of the first occurrence of pattern in the buffer, or -1.
    virtual int32_t FindSubString(const unsigned char* buffer, uint32_t length,
                                  const char* pattern);
    // Position of the last occurrence of pattern in the buffer, or -1.
    virtual int32_t FindSubStringFromEnd(const unsigned char* buffer, uint32_t length,
                                         const char* pattern);
    // Convert in place between stored (big-endian) and host order; one call serves both ways.
    virtual void swaplong(int32_t* value);
    virtual void swapUnsignedlong(uint32_t* value);
    virtual void swapshort(int16_t* value);
    // Local text to interchange form, in place; always kNoErr.
    virtual int32_t FiltrerTexte(unsigned char** text, uint32_t* length);
    // Interchange text to local form in a new block that replaces the caller's; kMemErr, with
    // the caller's variables untouched, when the new block cannot be allocated.
    virtual int32_t FiltrerTexteInverse(unsigned char** text, uint32_t* length);
    // The end-of-line text ("\n"), held in this object.
    virtual char* GetEOLCar();
    // 1 when the host stores the least significant byte first, else 0.
    virtual int32_t ShouldSwapBytes();

    virtual ~TypUtils() = default;

    // Ordinary members.
    int32_t Kill();

    // Message framing. The producing operations hand a new block to the caller; on kMemErr the
    // out pointer is null.
    int32_t GetParam(const unsigned char* message, uint32_t length, const char* name, char* value);
    int32_t ExistParam(const unsigned char* message, uint32_t length, const char* name);
    int32_t RemoveParamFromMessage(const unsigned char* message, uint32_t length,
                                   unsigned char** out, uint32_t* outLength);
    int32_t GetAllParamFromMessage(const unsigned char* message, uint32_t length,
                                   unsigned char** out, uint32_t* outLength);
    int32_t AddDestToMessage(const unsigned char* message, uint32_t length, unsigned char** out,
                             uint32_t* outLength, const char* to, const char* cc, const char* bcc);
    int32_t AddParamToMessage(const unsigned char* message, uint32_t length, unsigned char** out,
                              uint32_t* outLength, const char* param);

    // Fills name (at least 64 bytes) with the key name of a header in host order; empty when
    // its version is not 1.
    void GetKeyNameFromKeyHeader(const TypKeyHeader* header, char* name);

    // Must stay the first data member.
    char eolField[8] = {};
};

#endif
