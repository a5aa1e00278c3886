"""Type stubs of galaxy_ic, the Python module of galaxy-ic and galaxy-check."""
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str
# G in each unit system's units ("si", "cgs", "astro", "gadget"; "model": 1).
G: Dict[str, float]

Real = Union[int, float]
Vector = Sequence[Real]
PathLike = Union[str, "os.PathLike[str]"]

class Galaxy:
    """A galaxy made by make(); its arrays share one record."""
    @property
    def pos(self) -> npt.NDArray[np.float64]: ...
    @property
    def vel(self) -> npt.NDArray[np.float64]: ...
    @property
    def mass(self) -> npt.NDArray[np.float64]: ...
    @property
    def ids(self) -> npt.NDArray[np.uint64]: ...
    @property
    def units(self) -> Dict[str, Union[str, float]]: ...  # system, length, mass, velocity, time, G
    @property
    def parameters(self) -> Dict[str, Any]: ...
    @property
    def command_line(self) -> str: ...
    def __len__(self) -> int: ...
    def write(self, path: PathLike, format: Optional[str] = None, *, double_precision: bool = False,
              long_ids: bool = False, softening: Optional[Real] = None,
              max_record: Optional[int] = None) -> None: ...

class Report:
    """galaxy-check's report."""
    @property
    def lines(self) -> List[Tuple[str, str, str]]: ...
    @property
    def passed(self) -> bool: ...
    @property
    def verdict(self) -> str: ...
    def __bool__(self) -> bool: ...

def make(n: int, *, seed: Optional[int] = None, equilibrium: bool = False, profile: Optional[str] = None,
         mass: Optional[Real] = None, scale_length: Optional[Real] = None, cutoff: Optional[Real] = None,
         cutoff_strength: Optional[Real] = None, anisotropy_radius: Optional[Real] = None,
         units: str = "si", centre: Optional[Vector] = None, bulk_velocity: Optional[Vector] = None,
         zero_com: bool = False, threads: Optional[int] = None) -> Galaxy: ...

def check(target: Union[PathLike, Galaxy], *, units: Optional[str] = None, mass: Optional[Real] = None,
          scale_length: Optional[Real] = None, cutoff: Optional[Real] = None, centre: Optional[Vector] = None,
          bulk_velocity: Optional[Vector] = None, zero_com: bool = False, equilibrium: bool = False,
          profile: Optional[str] = None, anisotropy_radius: Optional[Real] = None,
          cutoff_strength: Optional[Real] = None, threshold: Optional[Real] = None,
          particles: Optional[int] = None, plot: Optional[PathLike] = None) -> Report: ...
