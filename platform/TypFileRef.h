// Abstract file reference: names one file by its path and gives whole-file access to it.
// Every operation returns a result code; the base versions are placeholders that succeed.
#ifndef VELDORAN_PLATFORM_TYPFILEREF_H
#define VELDORAN_PLATFORM_TYPFILEREF_H

#include <stdint.h>

#include "platform/FileControl.h"

class TypUtils;

// Open modes of OpenDF.
enum TypFileRefMode {
    kOpenUpdate = 0,  // "r+b": read and update an existing file
    kOpenRead = 1,    // "rb": read only
    kOpenCreate = 2   // "w+b": create or truncate, then write and read
};

class TypFileRef {
  public:
    TypFileRef() = default;
    TypFileRef(const TypFileRef&) = delete;
    TypFileRef& operator=(const TypFileRef&) = delete;

    // The virtual slot order is part of the design: do not reorder.
    virtual int32_t InitCreate(TypUtils* theUtils);
    virtual int32_t Kill();
    virtual int32_t OpenDF(int32_t mode);
    virtual int32_t GetLength(int32_t* length);
    virtual int32_t SetFilePos(uint32_t position);
    virtual int32_t Read(unsigned char* buffer, uint32_t count);
    virtual int32_t Write(const unsigned char* buffer, uint32_t count);
    virtual int32_t CloseDF();
    virtual int32_t Exists();
    virtual int32_t Delete();
    virtual int32_t IsOpend();
    // Declared after the operations so that it does not take one of their slots.
    virtual ~TypFileRef() = default;

    // Locks, stable storage and the file's description where this kind of reference offers
    // them, else null. Not a virtual operation, so the slot order stays the design's.
    veldoran::FileControl* Control() const { return control_; }

    // Not owned; handed to InitCreate.
    TypUtils* utils = nullptr;

  protected:
    // Set by a kind of reference that offers the controls.
    veldoran::FileControl* control_ = nullptr;
};

#endif
