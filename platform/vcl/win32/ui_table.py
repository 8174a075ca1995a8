#!/usr/bin/env python3
"""Turns Qt Designer .ui layouts into C++ tables for the Win32 backend.

The .ui files are the one stored layout of rawmice's windows: on Linux uic
reads them, for Windows this script does, at build time. Each layout becomes a
vcl::win32::FormLayout (platform/vcl/win32/layout.h): the form's client size,
position, caption, font, colours and On* bindings, and per control its kind,
name, geometry, text, font, colours, enabled/visible/read-only state, tab
order, scroll bars, Cancel, OnClick and OnChange.

Every property of a layout is either carried over or refused: a layout the
Win32 window could not show as Qt shows it stops the build with a message
naming the file, the line and the element.

    ui_table.py --output layouts.cpp ui/principal.ui ui/frmDatos.ui
"""

import argparse
import io
import os
import sys
import xml.etree.ElementTree as ET
from xml.parsers import expat

# Controls by the Qt class uic instantiates; a custom class counts as the Qt
# class it extends (the .ui file's <customwidgets> say which).
CONTROL_KINDS = {
    "QLabel": "Label",
    "QPushButton": "Button",
    "QLineEdit": "Edit",
    "QPlainTextEdit": "Memo",
    "QComboBox": "ComboBox",
}

FORM_EVENTS = ("OnCreate", "OnActivate", "OnClose", "OnMouseMove")

# The properties a form or control may hold, with what the table makes of them.
FORM_PROPERTIES = {
    "geometry", "windowTitle", "font", "palette", "windowPosition", "fontPixelSize",
    "visible", *FORM_EVENTS,
}
CONTROL_PROPERTIES = {
    "Label": {"geometry", "text", "font", "palette", "enabled", "visible"},
    "Button": {"geometry", "text", "font", "palette", "enabled", "visible", "focusPolicy",
               "Cancel", "OnClick"},
    "Edit": {"geometry", "text", "font", "palette", "enabled", "visible", "focusPolicy",
             "readOnly"},
    "Memo": {"geometry", "plainText", "font", "palette", "enabled", "visible", "focusPolicy",
             "readOnly", "verticalScrollBarPolicy", "horizontalScrollBarPolicy"},
    # A drop-down list in the system's colours; its items are given in code.
    "ComboBox": {"geometry", "font", "enabled", "visible", "focusPolicy", "OnChange"},
}
# The palette role that colours a control's text.
TEXT_ROLES = {"Label": "WindowText", "Button": "ButtonText", "Edit": "Text", "Memo": "Text"}

CL_WINDOW_TEXT = 0xFF000008
CL_BTN_FACE = 0xFF00000F


class LayoutError(Exception):
    pass


class Layout:
    """One parsed .ui file, with the line of every element for messages."""

    def __init__(self, path, shown_as):
        self.path = shown_as
        self.lines = {}
        builder = ET.TreeBuilder()
        parser = expat.ParserCreate()

        def start(tag, attrs):
            self.lines[id(builder.start(tag, attrs))] = parser.CurrentLineNumber

        parser.StartElementHandler = start
        parser.EndElementHandler = builder.end
        parser.CharacterDataHandler = builder.data
        try:
            with open(path, "rb") as f:
                parser.Parse(f.read(), True)
            self.root = builder.close()
        except OSError as e:
            raise LayoutError(f"{shown_as}: cannot read: {e.strerror}") from e
        except expat.ExpatError as e:
            raise LayoutError(f"{shown_as}:{e.lineno}: not well-formed XML: "
                              f"{expat.ErrorString(e.code)}") from e
        self.custom = {}
        for custom in self.root.iterfind("customwidgets/customwidget"):
            name = custom.findtext("class")
            base = custom.findtext("extends")
            if name and base:
                self.custom[name] = base

    def error(self, element, what):
        line = self.lines.get(id(element))
        where = f"{self.path}:{line}" if line else self.path
        return LayoutError(f"{where}: {what}")


def describe(element):
    name = element.get("name")
    cls = element.get("class")
    label = f"<{element.tag}"
    if cls:
        label += f' class="{cls}"'
    if name:
        label += f' name="{name}"'
    return label + ">"


def properties(layout, widget):
    """The widget's properties by name, each its value element."""
    found = {}
    for prop in widget.findall("property"):
        name = prop.get("name")
        if not name:
            raise layout.error(prop, f"a <property> of {describe(widget)} has no name")
        values = list(prop)
        if len(values) != 1:
            raise layout.error(prop, f"property {name} of {describe(widget)} needs one value")
        found[name] = values[0]
    return found


def need(layout, owner, value, tag, what):
    if value.tag != tag:
        raise layout.error(value, f"{what} of {describe(owner)} must be a <{tag}>, not <{value.tag}>")


def number(layout, owner, element, child):
    text = element.findtext(child)
    if text is None:
        raise layout.error(element, f"<{element.tag}> of {describe(owner)} has no <{child}>")
    try:
        return int(text.strip())
    except ValueError as e:
        raise layout.error(element, f"<{child}> of {describe(owner)} is not a whole number: {text!r}") from e


def rect(layout, owner, value):
    need(layout, owner, value, "rect", "geometry")
    return tuple(number(layout, owner, value, c) for c in ("x", "y", "width", "height"))


def boolean(layout, owner, value, name):
    need(layout, owner, value, "bool", name)
    text = (value.text or "").strip()
    if text not in ("true", "false"):
        raise layout.error(value, f"{name} of {describe(owner)} must be true or false, not {text!r}")
    return text == "true"


def string(layout, owner, value, name):
    need(layout, owner, value, "string", name)
    return value.text or ""


def enum(layout, owner, value, name, allowed):
    need(layout, owner, value, "enum", name)
    text = (value.text or "").strip()
    if text not in allowed:
        raise layout.error(value, f"{name} of {describe(owner)} is {text!r}; the Win32 window "
                                  f"knows {', '.join(sorted(allowed))}")
    return allowed[text]


def font(layout, owner, value, inherited):
    """(family, pixel size) from a <font>, over the font it inherits."""
    need(layout, owner, value, "font", "font")
    family, pixel_size = inherited
    for child in value:
        if child.tag == "family":
            family = child.text or ""
        elif child.tag == "pointsize":
            # Points at the 96 pixels per inch Designer lays out at.
            pixel_size = round(number(layout, owner, value, "pointsize") * 96 / 72)
        elif child.tag in ("weight", "bold", "italic", "underline", "strikeout", "kerning",
                           "antialiasing", "stylestrategy"):
            if child.tag in ("bold", "italic", "underline", "strikeout") and \
                    (child.text or "").strip() == "true":
                raise layout.error(child, f"font of {describe(owner)}: the Win32 window has no "
                                          f"{child.tag} text")
        else:
            raise layout.error(child, f"font of {describe(owner)} has <{child.tag}>, which the "
                                      "Win32 window does not know")
    return family, pixel_size


def palette(layout, owner, value):
    """The active group's colours by role, as 0x00BBGGRR."""
    need(layout, owner, value, "palette", "palette")
    colours = {}
    active = value.find("active")
    if active is None:
        return colours
    for role in active.iterfind("colorrole"):
        colour = role.find("brush/color")
        if colour is None:
            raise layout.error(role, f"palette role {role.get('role')} of {describe(owner)} has "
                                     "no <brush><color>")
        red, green, blue = (number(layout, owner, colour, c) for c in ("red", "green", "blue"))
        colours[role.get("role")] = red | green << 8 | blue << 16
    return colours


def check_known(layout, owner, props, known):
    for name, value in props.items():
        if name not in known:
            raise layout.error(value, f"{describe(owner)} has the property {name}, which the Win32 "
                                      "window does not carry over")


def handler_name(layout, owner, value, event):
    name = string(layout, owner, value, event)
    if name and not name.isidentifier():
        raise layout.error(value, f"{event} of {describe(owner)} names {name!r}, which is not a "
                                  "handler name")
    return name


def parse_control(layout, element, form_font, tab_stops):
    cls = element.get("class")
    name = element.get("name")
    if not name:
        raise layout.error(element, f"{describe(element)} has no name")
    base = layout.custom.get(cls, cls)
    kind = CONTROL_KINDS.get(base)
    if kind is None:
        raise layout.error(element, f"{describe(element)}: the Win32 window has no control for "
                                    f"the class {cls}; it knows "
                                    f"{', '.join(sorted(CONTROL_KINDS))} and custom classes "
                                    "extending them")
    if element.find("widget") is not None or element.find("layout") is not None:
        raise layout.error(element, f"{describe(element)} holds other widgets; the Win32 window "
                                    "places controls on the form only")
    item = element.find("item")
    if item is not None:
        raise layout.error(item, f"{describe(element)} lists items; a combo box's items are "
                                 "given in code (SetItems)")
    props = properties(layout, element)
    check_known(layout, element, props, CONTROL_PROPERTIES[kind])
    if "geometry" not in props:
        raise layout.error(element, f"{describe(element)} has no geometry property")
    control = {
        "kind": kind,
        "name": name,
        "geometry": rect(layout, element, props["geometry"]),
        "text": "",
        "font": form_font,
        "text_colour": CL_WINDOW_TEXT,
        "enabled": True,
        "visible": True,
        "read_only": False,
        "tab_stop": kind in ("Button", "Edit", "Memo", "ComboBox"),
        "tab_order": tab_stops.index(name) if name in tab_stops else -1,
        "scroll_bars": 0,
        "cancel": False,
        "on_click": "",
        "on_change": "",
    }
    for prop in ("text", "plainText"):
        if prop in props:
            control["text"] = string(layout, element, props[prop], prop)
    if "font" in props:
        control["font"] = font(layout, element, props["font"], form_font)
    if "palette" in props:
        colours = palette(layout, element, props["palette"])
        role = TEXT_ROLES[kind]
        if role in colours:
            control["text_colour"] = colours[role]
    for prop, key in (("enabled", "enabled"), ("visible", "visible"), ("readOnly", "read_only"),
                      ("Cancel", "cancel")):
        if prop in props:
            control[key] = boolean(layout, element, props[prop], prop)
    if "focusPolicy" in props:
        control["tab_stop"] = enum(layout, element, props["focusPolicy"], "focusPolicy", {
            "Qt::NoFocus": False, "Qt::TabFocus": True, "Qt::ClickFocus": True,
            "Qt::StrongFocus": True, "Qt::WheelFocus": True})
    # Windows shows a memo's scroll bar when its lines need one; Qt's AsNeeded is the same.
    policies = {"Qt::ScrollBarAlwaysOff": False, "Qt::ScrollBarAlwaysOn": True,
                "Qt::ScrollBarAsNeeded": True}
    if kind == "Memo":
        control["scroll_bars"] = 1 | 2  # a QPlainTextEdit's default is AsNeeded, both ways
        for prop, bit in (("horizontalScrollBarPolicy", 1), ("verticalScrollBarPolicy", 2)):
            if prop in props and not enum(layout, element, props[prop], prop, policies):
                control["scroll_bars"] &= ~bit
    if "OnClick" in props:
        control["on_click"] = handler_name(layout, element, props["OnClick"], "OnClick")
    if "OnChange" in props:
        control["on_change"] = handler_name(layout, element, props["OnChange"], "OnChange")
    return control


def parse(path, shown_as):
    layout = Layout(path, shown_as)
    root = layout.root
    if root.tag != "ui":
        raise layout.error(root, f"the root element is <{root.tag}>, not <ui>")
    form = root.find("widget")
    if form is None:
        raise layout.error(root, "the layout has no top-level <widget>")
    if form.get("class") != "QWidget":
        raise layout.error(form, f"{describe(form)}: a form is a QWidget, not a {form.get('class')}")
    name = form.get("name")
    if not name:
        raise layout.error(form, f"{describe(form)} has no name")
    props = properties(layout, form)
    check_known(layout, form, props, FORM_PROPERTIES)
    if "geometry" not in props:
        raise layout.error(form, f"{describe(form)} has no geometry property")
    _, _, width, height = rect(layout, form, props["geometry"])
    result = {
        "name": name,
        "caption": string(layout, form, props["windowTitle"], "windowTitle")
        if "windowTitle" in props else "",
        "source": shown_as,
        "position": None,
        "client_size": (width, height),
        "font": ("", 0),
        "colour": CL_BTN_FACE,
        "text_colour": CL_WINDOW_TEXT,
        "visible": True,
        "events": [],
        "controls": [],
    }
    if "windowPosition" in props:
        value = props["windowPosition"]
        need(layout, form, value, "point", "windowPosition")
        result["position"] = (number(layout, form, value, "x"), number(layout, form, value, "y"))
    if "font" in props:
        result["font"] = font(layout, form, props["font"], result["font"])
    if "fontPixelSize" in props:
        value = props["fontPixelSize"]
        need(layout, form, value, "number", "fontPixelSize")
        try:
            size = int((value.text or "").strip())
        except ValueError:
            size = 0
        if size <= 0:
            raise layout.error(value, f"fontPixelSize of {describe(form)} must be a positive number")
        result["font"] = (result["font"][0], size)
    if "palette" in props:
        colours = palette(layout, form, props["palette"])
        result["colour"] = colours.get("Window", result["colour"])
        result["text_colour"] = colours.get("WindowText", result["text_colour"])
    if "visible" in props:
        result["visible"] = boolean(layout, form, props["visible"], "visible")
    for event in FORM_EVENTS:
        if event in props:
            handler = handler_name(layout, form, props[event], event)
            if handler:
                result["events"].append((event, handler))

    tab_stops = [t.text for t in root.iterfind("tabstops/tabstop")]
    names = set()
    for child in form:
        if child.tag == "layout":
            raise layout.error(child, f"{describe(form)} uses a Qt layout manager; the Win32 "
                                      "window places controls by their geometry only")
        if child.tag != "widget":
            continue
        control = parse_control(layout, child, result["font"], tab_stops)
        if control["name"] in names:
            raise layout.error(child, f"a second control named {control['name']}")
        names.add(control["name"])
        result["controls"].append(control)
    for tab in root.iterfind("tabstops/tabstop"):
        if tab.text not in names:
            raise layout.error(tab, f"the tab stop {tab.text} names no control of the form")
    return result


def c_string(text):
    """A C++ string literal holding the UTF-8 bytes of `text`."""
    out = ['"']
    for byte in text.encode("utf-8"):
        char = chr(byte)
        if char in '"\\':
            out.append("\\" + char)
        elif 0x20 <= byte < 0x7F:
            out.append(char)
        else:
            out.append(f"\\{byte:03o}")
    out.append('"')
    return "".join(out)


def c_bool(value):
    return "true" if value else "false"


def c_font(f):
    return f"{{{c_string(f[0])}, {f[1]}}}"


def emit(forms, out):
    w = out.write
    w("// Made by platform/vcl/win32/ui_table.py from the stored layouts; not to be edited.\n")
    w('#include "platform/vcl/win32/layout.h"\n\n')
    w("namespace vcl::win32 {\nnamespace {\n\n")
    for index, form in enumerate(forms):
        w(f"// {form['source']}\n")
        if form["events"]:
            w(f"constexpr EventBinding events_{index}[] = {{\n")
            for event, handler in form["events"]:
                w(f"    {{{c_string(event)}, {c_string(handler)}}},\n")
            w("};\n")
        if form["controls"]:
            w(f"constexpr ControlLayout controls_{index}[] = {{\n")
            for c in form["controls"]:
                g = c["geometry"]
                w(f"    {{ControlKind::{c['kind']}, {c_string(c['name'])}, "
                  f"{{{g[0]}, {g[1]}, {g[2]}, {g[3]}}}, {c_string(c['text'])}, {c_font(c['font'])}, "
                  f"0x{c['text_colour']:08X}u, {c_bool(c['enabled'])}, {c_bool(c['visible'])}, "
                  f"{c_bool(c['read_only'])}, {c_bool(c['tab_stop'])}, {c['tab_order']}, "
                  f"{c['scroll_bars']}u, {c_bool(c['cancel'])}, {c_string(c['on_click'])}, "
                  f"{c_string(c['on_change'])}}},\n")
            w("};\n")
        position = form["position"] or (0, 0)
        w(f"constexpr FormLayout form_{index} = {{\n")
        w(f"    {c_string(form['name'])}, {c_string(form['caption'])}, {c_string(form['source'])},\n")
        w(f"    {c_bool(form['position'] is not None)}, {position[0]}, {position[1]}, "
          f"{form['client_size'][0]}, {form['client_size'][1]},\n")
        w(f"    {c_font(form['font'])}, 0x{form['colour']:08X}u, 0x{form['text_colour']:08X}u, "
          f"{c_bool(form['visible'])},\n")
        if form["events"]:
            w(f"    events_{index}, {len(form['events'])},\n")
        else:
            w("    nullptr, 0,\n")
        if form["controls"]:
            w(f"    controls_{index}, {len(form['controls'])},\n")
        else:
            w("    nullptr, 0,\n")
        w("};\n\n")
    w("constexpr const FormLayout* layouts[] = {")
    w(", ".join(f"&form_{i}" for i in range(len(forms))))
    w("};\n\n}  // namespace\n\n")
    w("const FormLayout* find_layout(std::string_view name) {\n")
    w("    for (const FormLayout* layout : layouts) {\n")
    w("        if (name == layout->name)\n")
    w("            return layout;\n")
    w("    }\n")
    w("    return nullptr;\n")
    w("}\n\n}  // namespace vcl::win32\n")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", required=True, help="the C++ file to write")
    parser.add_argument("--root", help="name the .ui files relative to this folder")
    parser.add_argument("layouts", nargs="+", help=".ui files")
    args = parser.parse_args(argv)
    paths = [os.path.relpath(p, args.root) if args.root else p for p in args.layouts]
    try:
        forms = [parse(path, shown) for path, shown in zip(args.layouts, paths)]
        seen = {}
        for form in forms:
            if form["name"] in seen:
                raise LayoutError(f"{form['source']}: the form name {form['name']} is taken by "
                                  f"{seen[form['name']]}")
            seen[form["name"]] = form["source"]
    except LayoutError as e:
        print(f"ui_table: {e}", file=sys.stderr)
        return 1
    # Written whole or not at all, so a failed run leaves no half table behind.
    text = io.StringIO()
    emit(forms, text)
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text.getvalue())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
