"""The search drawn in a Tk window as it runs: the contours of the function,
the path of the iterates, and the numbers of the latest step."""

import math
import tkinter
from typing import Dict, Iterator, List, Literal, Optional, Tuple

from demoapp import contours, plot
from demoapp.minimize import Iteration
from demoapp.plot import PLOT, to_canvas
from demoapp.report import point_text
from demoapp.rosenbrock import rosenbrock

# One accepted step per tick: slow enough to watch the path grow.
STEP_INTERVAL_MS = 60
GRID_CELLS = 200
# log10 of the lowest and highest contour levels, and levels per decade.
LOG_LEVELS = (0.0, 3.0, 2)
# Where the search is known to end, marked for comparison.
MINIMUM = (1.0, 1.0)
FIELDS = ("Iteration", "Evaluations", "f(x)", "x", "Line search", "Status")
PANEL_WIDTH = 300


def open_root(title: str) -> Optional[tkinter.Tk]:
    """The main window, or None where Tk cannot reach a display."""
    try:
        root = tkinter.Tk()
    except tkinter.TclError:
        return None
    root.title(title)
    root.resizable(False, False)
    return root


def _draw_axes(canvas: tkinter.Canvas) -> None:
    left, top = to_canvas(PLOT, PLOT.x_min, PLOT.y_max)
    right, bottom = to_canvas(PLOT, PLOT.x_max, PLOT.y_min)
    canvas.create_rectangle(left, top, right, bottom, outline=plot.AXES)
    for x in range(math.ceil(PLOT.x_min), math.floor(PLOT.x_max) + 1):
        u, _ = to_canvas(PLOT, x, PLOT.y_min)
        canvas.create_line(u, bottom, u, bottom + 5, fill=plot.AXES)
        canvas.create_text(u, bottom + 8, text=str(x), anchor="n", fill=plot.AXES)
    for y in range(math.ceil(PLOT.y_min), math.floor(PLOT.y_max) + 1):
        _, v = to_canvas(PLOT, PLOT.x_min, y)
        canvas.create_line(left - 5, v, left, v, fill=plot.AXES)
        canvas.create_text(left - 8, v, text=str(y), anchor="e", fill=plot.AXES)
    canvas.create_text((left + right) / 2, bottom + 26, text="x₁", anchor="n", fill=plot.AXES)
    canvas.create_text(left - 30, (top + bottom) / 2, text="x₂", anchor="e", fill=plot.AXES)


def _log_rosenbrock(x: float, y: float) -> float:
    # The minimum's value is 0: kept finite.
    return math.log10(max(rosenbrock([x, y])[0], 1e-12))


def _draw_contours(canvas: tkinter.Canvas) -> None:
    """Levels evenly spaced in log10 f, so that the flat valley shows."""
    xs = contours.evenly_spaced(PLOT.x_min, PLOT.x_max, GRID_CELLS)
    ys = contours.evenly_spaced(PLOT.y_min, PLOT.y_max, GRID_CELLS)
    low, high, per_decade = LOG_LEVELS
    count = round((high - low) * per_decade)
    levels = contours.evenly_spaced(low, high, count)
    lines = contours.contour_lines(contours.sample(_log_rosenbrock, xs, ys), xs, ys, levels)
    for k, segments in enumerate(lines):
        colour = plot.contour_colour(k / count)
        for a, b in segments:
            canvas.create_line(*to_canvas(PLOT, *a), *to_canvas(PLOT, *b), fill=colour)


def _mark(
    canvas: tkinter.Canvas,
    point: Tuple[float, float],
    radius: float,
    fill: str = "",
    outline: str = "",
    width: float = 1.0,
) -> None:
    u, v = to_canvas(PLOT, *point)
    canvas.create_oval(
        u - radius, v - radius, u + radius, v + radius, fill=fill, outline=outline, width=width
    )


def _label(
    canvas: tkinter.Canvas,
    point: Tuple[float, float],
    text: str,
    colour: str,
    anchor: Literal["w", "se"],
) -> None:
    """text beside the point on the side away from anchor, on a plain
    ground so that the contours do not cross it."""
    u, v = to_canvas(PLOT, *point)
    du, dv = {"w": (14, 0), "se": (-10, -10)}[anchor]
    label = canvas.create_text(u + du, v + dv, text=text, anchor=anchor, fill=colour)
    left, top, right, bottom = canvas.bbox(label)
    ground = canvas.create_rectangle(
        left - 2, top, right + 2, bottom, fill=plot.BACKGROUND, outline=""
    )
    canvas.tag_lower(ground, label)


def _panel(root: tkinter.Tk, title: str) -> Dict[str, tkinter.StringVar]:
    """The numbers beside the picture, one variable per field, and Close."""
    panel = tkinter.Frame(root, width=PANEL_WIDTH, padx=16, pady=16)
    panel.grid(row=0, column=1, sticky="ns")
    panel.grid_propagate(False)
    heading = tkinter.Label(panel, text=title, font=("TkHeadingFont", 14, "bold"))
    heading.grid(row=0, column=0, columnspan=2, sticky="w")
    about = "Rosenbrock function,\nBFGS with the native line search"
    tkinter.Label(panel, text=about, justify="left").grid(
        row=1, column=0, columnspan=2, sticky="w", pady=(4, 16)
    )
    fields = {}
    for row, name in enumerate(FIELDS, start=2):
        fields[name] = tkinter.StringVar(panel, "")
        tkinter.Label(panel, text=name).grid(row=row, column=0, sticky="nw", pady=2)
        tkinter.Label(
            panel,
            textvariable=fields[name],
            font="TkFixedFont",
            justify="left",
            wraplength=PANEL_WIDTH - 120,
        ).grid(row=row, column=1, sticky="nw", padx=(8, 0), pady=2)
    panel.rowconfigure(len(FIELDS) + 2, weight=1)
    close = tkinter.Button(panel, text="Close", width=10, command=root.destroy)
    close.grid(row=len(FIELDS) + 3, column=1, sticky="se")
    return fields


def _show_state(fields: Dict[str, tkinter.StringVar], state: Iteration) -> None:
    fields["Iteration"].set(str(state.number))
    fields["Evaluations"].set(str(state.evaluations))
    fields["f(x)"].set("%.6e" % state.f)
    fields["x"].set(point_text(state.x))
    fields["Line search"].set(state.task or "-")
    fields["Status"].set("searching")


def show(root: tkinter.Tk, states: Iterator[Iteration]) -> None:
    """Draws the contours, then one state of the search per tick, each point
    joined to the last; returns once the window is closed (its button,
    Escape or the window manager). An error of the search closes the window
    and is raised here."""
    errors: List[BaseException] = []

    def fail(kind: object, error: BaseException, trace: object) -> None:
        errors.append(error)
        root.destroy()

    root.report_callback_exception = fail  # type: ignore[assignment]
    canvas = tkinter.Canvas(
        root,
        width=plot.CANVAS_SIZE[0],
        height=plot.CANVAS_SIZE[1],
        background=plot.BACKGROUND,
        highlightthickness=0,
        borderwidth=0,
    )
    canvas.grid(row=0, column=0)
    fields = _panel(root, root.title())
    _draw_contours(canvas)
    _draw_axes(canvas)
    _mark(canvas, MINIMUM, 7, outline=plot.MINIMUM, width=2)
    _label(canvas, MINIMUM, "minimum", plot.MINIMUM, "w")
    root.bind("<Escape>", lambda event: root.destroy())
    previous: List[Tuple[float, float]] = []

    def advance() -> None:
        state = next(states, None)
        if state is None:
            _mark(canvas, previous[-1], 5, outline=plot.PATH, width=2)
            fields["Status"].set("converged")
            return
        point = (state.x[0], state.x[1])
        if previous:
            canvas.create_line(
                *to_canvas(PLOT, *previous[-1]), *to_canvas(PLOT, *point), fill=plot.PATH, width=2
            )
        _mark(canvas, point, 2.5, fill=plot.PATH)
        if not previous:
            _label(canvas, point, "start", plot.PATH, "se")
        previous.append(point)
        _show_state(fields, state)
        # Shown now, even if the next step keeps the loop from idling.
        root.update_idletasks()
        root.after(STEP_INTERVAL_MS, advance)

    root.after(STEP_INTERVAL_MS, advance)
    root.mainloop()
    if errors:
        raise errors[0]
