"""The Volkit library's C interface (volkit.h) through ctypes: finding the
library, the structures with the layouts the header pins, and the prototypes."""

import ctypes
import ctypes.util
import os
import sys
from ctypes import POINTER, c_bool, c_char_p, c_int32, c_uint8, c_uint16, c_uint32, c_uint64, c_void_p

# volkit.h's calls use __cdecl on Windows, which is what CFUNCTYPE makes.
READ = ctypes.CFUNCTYPE(c_bool, c_uint64, c_void_p, c_uint32, c_void_p)
WRITE = ctypes.CFUNCTYPE(c_bool, c_uint64, c_void_p, c_uint32, c_void_p)
SIZE = ctypes.CFUNCTYPE(c_bool, POINTER(c_uint64), c_void_p)


class Device(ctypes.Structure):
    _fields_ = [("context", c_void_p), ("read", READ), ("write", WRITE), ("get_size", SIZE)]


class FormatOptions(ctypes.Structure):
    _fields_ = [("partition_start_sector", c_uint64), ("label", POINTER(c_uint16)), ("label_utf8", c_char_p),
                ("cluster_size", c_uint32), ("full", c_uint8), ("reserved", c_uint8 * 3)]


class Times(ctypes.Structure):
    _fields_ = [("creation_time", c_uint64), ("last_access_time", c_uint64), ("last_write_time", c_uint64),
                ("attributes", c_uint32), ("reserved", c_uint32)]


class DirEntry(ctypes.Structure):
    _fields_ = [("name", POINTER(c_uint16)), ("name_utf8", c_char_p), ("file_reference", c_uint64),
                ("creation_time", c_uint64), ("last_access_time", c_uint64), ("last_write_time", c_uint64),
                ("mft_change_time", c_uint64), ("allocated_size", c_uint64), ("data_size", c_uint64),
                ("attributes", c_uint32), ("name_space", c_uint8), ("is_directory", c_uint8),
                ("reserved", c_uint8 * 2)]


class CheckProblem(ctypes.Structure):
    _fields_ = [("kind", c_int32), ("reserved", c_uint32), ("code", c_char_p), ("record", c_uint64),
                ("message", c_char_p)]


class CheckSummary(ctypes.Structure):
    _fields_ = [("mft_records", c_uint64), ("records_in_use", c_uint64), ("directories", c_uint64),
                ("index_entries", c_uint64), ("clusters", c_uint64), ("clusters_in_use", c_uint64),
                ("damage", c_uint64), ("leaks", c_uint64), ("complete", c_uint8), ("reserved", c_uint8 * 7)]


if ctypes.sizeof(c_void_p) == 8:
    for _structure, _size in ((Device, 32), (FormatOptions, 32), (Times, 32), (DirEntry, 80), (CheckProblem, 32),
                              (CheckSummary, 72)):
        assert ctypes.sizeof(_structure) == _size, _structure.__name__

DIR_CALLBACK = ctypes.CFUNCTYPE(c_bool, POINTER(DirEntry), c_void_p)
CHECK_CALLBACK = ctypes.CFUNCTYPE(None, POINTER(CheckProblem), c_void_p)

_HANDLE = c_void_p
_OUT = POINTER(c_void_p)
_PROTOTYPES = {
    "volkit_last_error": (c_char_p, []),
    "volkit_format_volume": (c_bool, [POINTER(Device), POINTER(FormatOptions)]),
    "volkit_open_volume": (c_bool, [POINTER(Device), _OUT]),
    "volkit_close_volume": (c_bool, [_HANDLE]),
    "volkit_open_file_utf8": (c_bool, [_HANDLE, c_char_p, _OUT]),
    "volkit_create_file_utf8": (c_bool, [_HANDLE, c_char_p, _OUT]),
    "volkit_read_file": (c_bool, [_HANDLE, c_uint64, c_void_p, c_uint32]),
    "volkit_write_file": (c_bool, [_HANDLE, c_uint64, c_void_p, c_uint32]),
    "volkit_get_file_size": (c_bool, [_HANDLE, POINTER(c_uint64)]),
    "volkit_set_file_size": (c_bool, [_HANDLE, c_uint64]),
    "volkit_set_file_sparse": (c_bool, [_HANDLE]),
    "volkit_zero_file_range": (c_bool, [_HANDLE, c_uint64, c_uint64]),
    "volkit_get_file_allocated_size": (c_bool, [_HANDLE, POINTER(c_uint64)]),
    "volkit_get_file_data_range": (c_bool, [_HANDLE, c_uint64, POINTER(c_uint64), POINTER(c_uint64)]),
    "volkit_get_file_times": (c_bool, [_HANDLE, POINTER(Times)]),
    "volkit_set_file_times": (c_bool, [_HANDLE, POINTER(Times)]),
    "volkit_get_dir_times": (c_bool, [_HANDLE, POINTER(Times)]),
    "volkit_set_dir_times": (c_bool, [_HANDLE, POINTER(Times)]),
    "volkit_delete_file": (c_bool, [_HANDLE]),
    "volkit_close_file": (c_bool, [_HANDLE]),
    "volkit_open_dir_utf8": (c_bool, [_HANDLE, c_char_p, _OUT]),
    "volkit_create_dir_utf8": (c_bool, [_HANDLE, c_char_p, _OUT]),
    "volkit_delete_dir": (c_bool, [_HANDLE]),
    "volkit_close_dir": (c_bool, [_HANDLE]),
    "volkit_enum_dir": (c_bool, [_HANDLE, DIR_CALLBACK, c_void_p]),
    "volkit_check_volume": (c_bool, [POINTER(Device), CHECK_CALLBACK, c_void_p, POINTER(CheckSummary)]),
}


def _candidates():
    """Where the library may be: VOLKIT_LIBRARY alone when it is set, else
    beside this package, else wherever the system loader finds it."""
    chosen = os.environ.get("VOLKIT_LIBRARY")
    if chosen:
        return [chosen]
    if sys.platform == "win32":
        names = ["volkit.dll"]
    elif sys.platform == "darwin":
        names = ["libvolkit.dylib"]
    else:
        names = ["libvolkit.so", "libvolkit.so.0"]
    here = os.path.dirname(os.path.abspath(__file__))
    beside = [os.path.join(here, name) for name in names if os.path.exists(os.path.join(here, name))]
    found = ctypes.util.find_library("volkit")
    return beside + ([found] if found else []) + names


def load():
    """The library with its prototypes declared; raises OSError when none loads."""
    failures = []
    for candidate in _candidates():
        try:
            library = ctypes.CDLL(candidate)
        except OSError as failure:
            failures.append(f"{candidate}: {failure}")
            continue
        for name, (result, arguments) in _PROTOTYPES.items():
            function = getattr(library, name)
            function.restype = result
            function.argtypes = arguments
        return library
    raise OSError("cannot load the volkit library (set VOLKIT_LIBRARY to its path): " + "; ".join(failures))
