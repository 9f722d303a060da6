"""The kinds of damage of scripts/torture, one module per format family."""
from . import common, generic, ntfs, fat, exfat, ext, ufs, xfs, hfs, vmfs, refs, vdisk, session, carve, zfs, raid  # noqa: F401  (they register kinds)
from .common import KINDS, Mutant  # noqa: F401
