from typing import Any, Optional, Sequence, Tuple, Union

from . import Image, Lens

Span = Union[float, Tuple[float, float]]

class RandomLensFlare:
    center_x: Tuple[float, float]
    center_y: Tuple[float, float]
    brightness: Tuple[float, float]
    blend: Tuple[float, float]
    lenses: Tuple[Lens, ...]
    p: float
    def __init__(self, center_x: Span = ..., center_y: Span = ..., brightness: Span = ...,
                 lenses: Sequence[Lens] = ..., blend: Span = ..., p: float = ..., seed: Optional[int] = ...,
                 **deep: Any) -> None: ...
    def params(self, width: int, height: int, force: bool = ...) -> Optional[dict[str, Any]]: ...
    def apply(self, image: Image, force: bool = ...) -> Image: ...
    def __call__(self, *args: Image, force_apply: bool = ..., **targets: Any) -> Any: ...
