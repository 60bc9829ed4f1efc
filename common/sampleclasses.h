// The classes of samples an image may have, and what each is called on
// every side: the one table that the front end's sample type, the MATLAB
// and Octave doors, the Python package, the image library's bridge and the
// file readers are made from.  A new class is a new row here and its
// readers (the reading of its samples, where a door can give them).
//
// KX_SAMPLE_CLASSES(X) calls X once a row, in this order, with
//   NAME    the front end's segfront::Sample is kNAME
//   CLASS   its name in messages, as MATLAB names its class
//   TYPE    the C++ type of one stored sample (logical: a byte holding 0 or 1)
//   MX      the host's mxClassID
//   KIND    NumPy's dtype kind and ...
//   BYTES   ... item size of an array of the class, and ...
//   DTYPE   ... the dtype that names it
//   KAL     the image library's kal_DataType
// A user takes the columns it needs: the names of a column are only
// looked up where X spells them, so the table itself needs no header of
// the host, NumPy or the image library.
#ifndef KALMEX_COMMON_SAMPLECLASSES_H
#define KALMEX_COMMON_SAMPLECLASSES_H

#include <cstdint>

#define KX_SAMPLE_CLASSES(X)                                                                       \
  X(Bool, "logical", uint8_t, mxLOGICAL_CLASS, 'b', 1, "?", kal_DT_BIN)                            \
  X(Uint8, "uint8", uint8_t, mxUINT8_CLASS, 'u', 1, "u1", kal_DT_UINT8)                            \
  X(Int8, "int8", int8_t, mxINT8_CLASS, 'i', 1, "i1", kal_DT_SINT8)                                \
  X(Uint16, "uint16", uint16_t, mxUINT16_CLASS, 'u', 2, "u2", kal_DT_UINT16)                       \
  X(Int16, "int16", int16_t, mxINT16_CLASS, 'i', 2, "i2", kal_DT_SINT16)                           \
  X(Uint32, "uint32", uint32_t, mxUINT32_CLASS, 'u', 4, "u4", kal_DT_UINT32)                       \
  X(Int32, "int32", int32_t, mxINT32_CLASS, 'i', 4, "i4", kal_DT_SINT32)                           \
  X(Uint64, "uint64", uint64_t, mxUINT64_CLASS, 'u', 8, "u8", kal_DT_UINT64)                       \
  X(Int64, "int64", int64_t, mxINT64_CLASS, 'i', 8, "i8", kal_DT_SINT64)                           \
  X(Single, "single", float, mxSINGLE_CLASS, 'f', 4, "f4", kal_DT_SFLOAT)                          \
  X(Double, "double", double, mxDOUBLE_CLASS, 'f', 8, "f8", kal_DT_DFLOAT)

#endif
