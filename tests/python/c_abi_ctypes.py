"""ctypes declarations of the six C functions, shared by the tests and the
benchmark of the C interface."""

import ctypes

U8P = ctypes.POINTER(ctypes.c_uint8)
U32P = ctypes.POINTER(ctypes.c_uint32)


def load(path):
    """The library at `path` with the six functions' prototypes set."""
    lib = ctypes.CDLL(str(path))
    lib.brindlore_create.restype = ctypes.c_void_p
    lib.brindlore_create.argtypes = [ctypes.c_char_p]
    lib.brindlore_destroy.argtypes = [ctypes.c_void_p]
    lib.brindlore_encode.restype = ctypes.c_int32
    lib.brindlore_encode.argtypes = [
        ctypes.c_void_p,
        ctypes.c_char_p,
        ctypes.c_size_t,
        ctypes.POINTER(U32P),
        ctypes.POINTER(ctypes.c_size_t),
    ]
    lib.brindlore_free_tokens.argtypes = [U32P, ctypes.c_size_t]
    lib.brindlore_free_buffer.argtypes = [U8P, ctypes.c_size_t]
    lib.brindlore_export_gguf_vocab.restype = ctypes.c_int32
    lib.brindlore_export_gguf_vocab.argtypes = [
        ctypes.c_char_p,
        ctypes.POINTER(U8P),
        ctypes.POINTER(ctypes.c_size_t),
    ]
    return lib
