from os import PathLike
from typing import Any, Mapping, Optional, Sequence, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

from . import augment as augment

MAX_SIDE: int

Image = npt.NDArray[Union[np.uint8, np.uint16, np.float16, np.float32]]
Coordinate = Union[float, str]
Center = Union[str, Tuple[Coordinate, Coordinate], Sequence[Coordinate]]
Percent = Union[float, str]
Lens = Union[int, str]
PixelAspect = Union[float, str]

class Control(TypedDict, total=False):
    key: str
    name: str
    id: int
    default: Any
    range: Tuple[float, float]
    slider: Tuple[float, float]
    unit: str
    choices: Sequence[Tuple[int, str, str]]

class Effect:
    def __init__(self, plugin: Optional[Union[str, PathLike[str]]] = ..., threads: Optional[int] = ...) -> None: ...
    @property
    def path(self) -> str: ...
    def controls(self) -> list[Control]: ...
    def render(self, image: Image, *, center: Optional[Center] = ..., brightness: Optional[Percent] = ...,
               lens: Optional[Lens] = ..., blend: Optional[Percent] = ..., seed: int = ..., frame: int = ...,
               par: PixelAspect = ..., out: Optional[Image] = ..., colorspace: Optional[str] = ...,
               composite: Optional[str] = ..., flare_precision: Optional[str] = ...,
               exposure: Optional[float] = ..., **deep: Any) -> Image: ...
    def render_many(self, images: Sequence[Image],
                    params: Optional[Union[Mapping[str, Any], Sequence[Mapping[str, Any]]]] = ...,
                    threads: Optional[int] = ...) -> list[Image]: ...

def render(image: Image, *, center: Optional[Center] = ..., brightness: Optional[Percent] = ...,
           lens: Optional[Lens] = ..., blend: Optional[Percent] = ..., seed: int = ..., frame: int = ...,
           par: PixelAspect = ..., out: Optional[Image] = ..., colorspace: Optional[str] = ...,
           composite: Optional[str] = ..., flare_precision: Optional[str] = ...,
               exposure: Optional[float] = ..., **deep: Any) -> Image: ...
def render_many(images: Sequence[Image],
                params: Optional[Union[Mapping[str, Any], Sequence[Mapping[str, Any]]]] = ...,
                threads: Optional[int] = ...) -> list[Image]: ...
def controls() -> list[Control]: ...
