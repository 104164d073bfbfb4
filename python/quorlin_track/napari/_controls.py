"""Parameter controls described from a function's signature and its numpydoc docstring.

The widget builds its detection and linking controls from ``inspect.signature(qt.batch)`` and
``inspect.signature(qt.link)``, so a parameter added to either shows up without a change here:
the type hint (or, where it cannot be resolved, the default) picks the kind of control, and the
docstring's "Parameters" section gives the tooltip and, in numpydoc's ``{"a", "b", None}`` form or
as "a name in ``REGISTRY``", the choices of a combo box.
"""

from __future__ import annotations

import ast
import collections.abc
import inspect
import math
import re
import sys
import types
import typing
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from numbers import Integral, Real
from typing import Any, Literal, Union

__all__ = ["NONE_TEXT", "Control", "Kind", "controls", "parameter_docs", "spin_step"]

#: The kinds of control: a check box, an integer or float spin box, a combo box, a line edit.
Kind = Literal["check", "int", "float", "combo", "text"]

#: The text that stands for None in a line edit or a combo box.
NONE_TEXT = "none"

# A reference from one function's docstring to another's: "As for :func:`locate`".
_SAME_AS = re.compile(r"^As for :func:`~?(?:[\w.]+\.)?(\w+)`")
# A registry of further choices named in a description: "a name in ``REFINERS``".
_REGISTRY = re.compile(r"\bin ``([A-Z][A-Z0-9_]*)``")
# numpydoc's set of allowed values in a type line: {"a", "b", None}.
_CHOICES = re.compile(r"\{([^}]*)\}")
# reST markup dropped from tooltips: roles (:func:`x`) and literals (``x``).
_ROLE = re.compile(r":\w+:`~?([^`]*)`")
_LITERAL = re.compile(r"``([^`]*)``")


@dataclass(frozen=True)
class Control:
    """One keyword of a function, as a control: its kind, start value, choices and the rules that
    turn the control's text back into the keyword's value."""

    name: str
    kind: Kind
    value: Any  # the start value; None for an empty line edit
    tooltip: str = ""
    choices: tuple[Any, ...] = ()  # combo boxes: the values, None included where allowed
    optional: bool = False  # None is a valid value
    words: tuple[str, ...] = ()  # line edits: the strings accepted as they are
    number: type | None = None  # line edits: int or float accepted
    sequence: bool = False  # line edits: several numbers, separated by commas
    free_text: bool = False  # line edits: any other string is passed on as it is

    def label(self, value: Any) -> str:
        """The text a combo box or line edit shows for a value."""
        if value is None:
            return "" if self.kind == "text" else NONE_TEXT
        if self.sequence and isinstance(value, Iterable) and not isinstance(value, str):
            return ", ".join(str(v) for v in value)
        return str(value)

    def parse(self, text: str) -> Any:
        """The value of a line edit's or combo box's text.

        Raises
        ------
        ValueError
            For a text this keyword does not accept; the message names the keyword.
        """
        text = text.strip()
        if self.kind == "combo":
            for choice in self.choices:
                if self.label(choice) == text:
                    return choice
            raise ValueError(f"{self.name} must be one of {self._accepted()}, got {text!r}")
        if text in ("", NONE_TEXT):
            if self.optional:
                return None
            raise ValueError(f"{self.name} needs a value ({self._accepted()})")
        if text in self.words:
            return text
        if self.number is not None:
            try:
                if self.sequence:
                    return tuple(self.number(item) for item in re.split(r"[,\s]+", text) if item)
                return self.number(text)
            except ValueError:
                pass
        if self.free_text:
            return text
        raise ValueError(f"{self.name} must be {self._accepted()}, got {text!r}")

    def _accepted(self) -> str:
        if self.kind == "combo":
            return ", ".join(repr(self.label(c)) for c in self.choices)
        kinds = [repr(w) for w in self.words]
        if self.number is not None:
            one = "an integer" if self.number is int else "a number"
            kinds.append("numbers separated by commas" if self.sequence else one)
        if self.free_text:
            kinds.append("a name")
        if self.optional:
            kinds.append("empty for none")
        return " or ".join(kinds) or "a value"


@dataclass
class _Accepts:
    """What a type hint lets through."""

    bool_: bool = False
    int_: bool = False
    float_: bool = False
    str_: bool = False
    none: bool = False
    sequence: bool = False
    words: list[Any] = field(default_factory=list)  # Literal values

    @property
    def known(self) -> bool:
        return any((self.bool_, self.int_, self.float_, self.str_, self.none, self.sequence,
                    self.words))


def _accepts(hint: Any, into: _Accepts) -> None:
    """Sorts a (possibly nested) type hint into what it accepts."""
    origin = typing.get_origin(hint)
    if origin is Union or (sys.version_info >= (3, 10) and origin is types.UnionType):
        for argument in typing.get_args(hint):
            _accepts(argument, into)
    elif origin is Literal:
        into.words.extend(typing.get_args(hint))
    elif hint is type(None) or hint is None:
        into.none = True
    elif hint is bool:
        into.bool_ = True
    elif hint is int or hint is Integral:
        into.int_ = True
    elif hint is float or hint is Real:
        into.float_ = True
    elif hint is str:
        into.str_ = True
    elif origin in (tuple, list, collections.abc.Sequence) or hint in (tuple, list):
        into.sequence = True
        for item in typing.get_args(hint):
            if item is not Ellipsis:
                _accepts(item, into)


def _from_default(default: Any, into: _Accepts) -> None:
    """What a parameter accepts, judged from its default where its hint says nothing."""
    if default is None:
        into.none = True
    elif isinstance(default, bool):
        into.bool_ = True
    elif isinstance(default, Integral):
        into.int_ = True
    elif isinstance(default, Real):
        into.float_ = True
    elif isinstance(default, str):
        into.str_ = True
    elif isinstance(default, (tuple, list)):
        into.sequence = True


def parameter_docs(function: Callable[..., Any]) -> dict[str, tuple[str, str]]:
    """The type line and description of each parameter in a numpydoc "Parameters" section.

    A description that begins "As for :func:`other`" is replaced by ``other``'s entry for the same
    name, when ``other`` is a function of the same module that documents it.

    Parameters
    ----------
    function : callable
        A function with a numpydoc docstring.

    Returns
    -------
    dict of str to (str, str)
        Parameter name to (type line, description joined into one line).

    Examples
    --------
    >>> def f(a, b=1):
    ...     '''Sum.
    ...
    ...     Parameters
    ...     ----------
    ...     a, b : int
    ...         Terms.
    ...     '''
    >>> parameter_docs(f)
    {'a': ('int', 'Terms.'), 'b': ('int', 'Terms.')}
    """
    lines = (inspect.getdoc(function) or "").splitlines()
    docs: dict[str, tuple[str, str]] = {}
    inside = False
    names: list[str] = []
    kind, text = "", list[str]()

    def close() -> None:
        for name in names:
            docs[name] = (kind, " ".join(text))

    for k, line in enumerate(lines):
        heading = k + 1 < len(lines) and set(lines[k + 1].strip()) == {"-"} and line.strip()
        if heading:
            if inside:
                break
            inside = line.strip() == "Parameters"
            continue
        if not inside or set(line.strip()) == {"-"} or not line.strip():
            continue
        if not line.startswith((" ", "\t")):
            close()
            head, _, kind = line.partition(" : ")
            names = [n.strip().lstrip("*") for n in head.split(",")]
            kind, text = kind.strip(), []
        else:
            text.append(line.strip())
    if inside:
        close()
    module = sys.modules.get(getattr(function, "__module__", ""), None)
    for name, (kind, description) in list(docs.items()):
        same = _SAME_AS.match(description)
        other = getattr(module, same.group(1), None) if same else None
        if callable(other) and other is not function:
            docs[name] = parameter_docs(other).get(name, docs[name])
    return docs


def _plain(text: str) -> str:
    return _LITERAL.sub(r"\1", _ROLE.sub(r"\1", text))


def _doc_choices(function: Callable[..., Any], kind: str, description: str) -> list[Any]:
    """Values listed in a numpydoc type line, plus the names of a registry the text refers to."""
    found: list[Any] = []
    braces = _CHOICES.search(kind)
    if braces:
        for item in braces.group(1).split(","):
            try:
                found.append(ast.literal_eval(item.strip()))
            except (ValueError, SyntaxError):
                found.append(item.strip().strip("'\""))
    module = sys.modules.get(getattr(function, "__module__", ""), None)
    for source in (kind, description):
        for registry in _REGISTRY.findall(source):
            names = getattr(module, registry, None)
            if isinstance(names, collections.abc.Mapping):
                found.extend(str(n) for n in names)
    return found


def spin_step(value: float) -> float:
    """A spin box step of about a tenth of the start value's order of magnitude."""
    magnitude = abs(value)
    return 10.0 ** (math.floor(math.log10(magnitude)) - 1) if magnitude > 0 else 0.1


def _hints(function: Callable[..., Any]) -> dict[str, Any]:
    """The type hints that can be resolved in the function's module, one by one: a hint naming
    something unknown there is left out (its parameter is then judged by its default)."""
    unwrapped = inspect.unwrap(function)
    namespace = getattr(unwrapped, "__globals__", {})
    hints = {}
    for name, annotation in getattr(unwrapped, "__annotations__", {}).items():
        try:
            hints[name] = eval(annotation, namespace) if isinstance(annotation, str) else annotation
        except Exception:  # any error of an annotation's expression: no hint
            continue
    return hints


def controls(function: Callable[..., Any], *, skip: Iterable[str] = (),
             start: collections.abc.Mapping[str, Any] | None = None) -> list[Control]:
    """Controls for the keywords of a function, in signature order.

    The first parameter (the data) and ``*args``/``**kwargs`` are left out, as are the names in
    ``skip``. A keyword's control follows from its type hint, or from its default where the hint
    cannot be resolved: a bool is a check box; an int or a float that must be given is a spin box;
    a fixed set of values (``Literal`` or numpydoc's ``{...}``) is a combo box; anything else
    (numbers that may be None, "auto" or a number, sequences of numbers, names) is a line edit.

    Parameters
    ----------
    function : callable
        The function whose keywords the controls set.
    skip : iterable of str
        Keywords that get no control.
    start : mapping of str to object, optional
        Start values for required keywords (which have no default); a required keyword without
        one starts empty.

    Returns
    -------
    list of Control
        One per keyword.

    Examples
    --------
    >>> def f(data, *, size: int = 7, mode: str = "fast"):
    ...     '''Parameters
    ...     ----------
    ...     size : int
    ...         Spot size, pixels.
    ...     mode : {"fast", "exact"}
    ...         Method.
    ...     '''
    >>> [(c.name, c.kind, c.value, c.choices) for c in controls(f)]
    [('size', 'int', 7, ()), ('mode', 'combo', 'fast', ('fast', 'exact'))]
    """
    hints = _hints(function)
    docs = parameter_docs(function)
    skipped = set(skip)
    parameters = list(inspect.signature(function).parameters.values())[1:]
    made = []
    for p in parameters:
        if p.name in skipped or p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD):
            continue
        value = p.default if p.default is not p.empty else (start or {}).get(p.name)
        accepts = _Accepts()
        if p.name in hints:
            _accepts(hints[p.name], accepts)
        if not accepts.known:
            _from_default(value, accepts)
        kind_text, description = docs.get(p.name, ("", ""))
        if p.default is None:
            accepts.none = True
        tooltip = _plain(f"{p.name} ({kind_text}): {description}" if kind_text else description)
        made.append(_control(function, p.name, value, accepts, kind_text, description, tooltip))
    return made


def _control(function: Callable[..., Any], name: str, value: Any, accepts: _Accepts,
             kind_text: str, description: str, tooltip: str) -> Control:
    numeric = accepts.int_ or accepts.float_
    number: type | None = float if accepts.float_ else int if accepts.int_ else None
    choices = list(dict.fromkeys([*accepts.words, *_doc_choices(function, kind_text, description)]))
    if accepts.bool_ and not (numeric or accepts.str_ or accepts.words or accepts.none):
        return Control(name, "check", bool(value), tooltip)
    if choices and not numeric and not accepts.sequence:
        if accepts.none and None not in choices:
            choices.insert(0, None)
        if value not in choices:
            choices.append(value)
        return Control(name, "combo", value, tooltip, tuple(choices), optional=None in choices)
    if numeric and not (accepts.none or accepts.words or accepts.sequence or accepts.str_) \
            and value is not None:
        return Control(name, "int" if number is int else "float", value, tooltip)
    return Control(name, "text", value, tooltip, optional=accepts.none,
                   words=tuple(str(w) for w in choices), number=number,
                   sequence=accepts.sequence, free_text=accepts.str_)

