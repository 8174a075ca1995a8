"""The .ui-to-table generator: what it refuses, and how it says so.

The table it makes from a layout with every kind of control is checked
value by value in layout_table_test.cpp, compiled from its real output.
"""

import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.environ.get("RAWMICE_SOURCE", "."), "platform/vcl/win32/ui_table.py")

FORM = """<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>Form9</class>
 <widget class="QWidget" name="Form9">
  <property name="geometry">
   <rect><x>0</x><y>0</y><width>100</width><height>80</height></rect>
  </property>
{form}
{controls}
 </widget>
 <tabstops>
{tabstops}
 </tabstops>
</ui>
"""

LABEL = """  <widget class="QLabel" name="Label1">
   <property name="geometry">
    <rect><x>1</x><y>2</y><width>3</width><height>4</height></rect>
   </property>
  </widget>"""

COMBO = LABEL.replace('class="QLabel" name="Label1"', 'class="QComboBox" name="cmbMouse"')


class Generator(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def run_on(self, *layouts):
        paths = []
        for index, text in enumerate(layouts):
            path = os.path.join(self.folder.name, f"form{index}.ui")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            paths.append(path)
        output = os.path.join(self.folder.name, "table.cpp")
        done = subprocess.run(
            [sys.executable, SCRIPT, "--root", self.folder.name, "--output", output, *paths],
            capture_output=True, text=True, timeout=60)
        table = None
        if os.path.exists(output):
            with open(output, encoding="utf-8") as f:
                table = f.read()
        return done.returncode, done.stderr, table

    def refused(self, text, *expected):
        status, stderr, table = self.run_on(text)
        self.assertEqual(status, 1, stderr)
        self.assertIsNone(table, "a refused layout leaves no table behind")
        self.assertEqual(stderr.count("\n"), 1, f"one line: {stderr!r}")
        for part in expected:
            self.assertIn(part, stderr)

    def test_a_plain_form_makes_a_table(self):
        status, stderr, table = self.run_on(FORM.format(form="", controls=LABEL, tabstops=""))
        self.assertEqual(status, 0, stderr)
        self.assertIn('"Form9"', table)
        self.assertIn('{ControlKind::Label, "Label1", {1, 2, 3, 4}', table)

    def test_an_unknown_control_class_names_file_line_and_element(self):
        slider = LABEL.replace('class="QLabel"', 'class="QSlider"')
        self.refused(FORM.format(form="", controls=slider, tabstops=""),
                     "ui_table: form0.ui:9:", '<widget class="QSlider" name="Label1">',
                     "no control for the class QSlider")

    def test_a_custom_class_counts_as_the_class_it_extends(self):
        custom = LABEL.replace('class="QLabel"', 'class="my::Knob"')
        text = FORM.format(form="", controls=custom, tabstops="").replace(
            "</ui>", "<customwidgets><customwidget><class>my::Knob</class>"
                     "<extends>QDial</extends></customwidget></customwidgets></ui>")
        self.refused(text, "form0.ui:9:", 'class="my::Knob"', "no control for the class my::Knob")

    def test_a_control_without_geometry_is_refused(self):
        bare = '  <widget class="QPushButton" name="btnGo"/>'
        self.refused(FORM.format(form="", controls=bare, tabstops=""),
                     "form0.ui:9:", '<widget class="QPushButton" name="btnGo">',
                     "has no geometry property")

    def test_a_form_without_geometry_is_refused(self):
        text = FORM.format(form="", controls="", tabstops="")
        start = text.index('  <property name="geometry">')
        end = text.index("</property>", start) + len("</property>")
        self.refused(text[:start] + text[end:], "form0.ui:4:",
                     '<widget class="QWidget" name="Form9">', "has no geometry property")

    def test_a_geometry_missing_a_side_names_it(self):
        text = FORM.format(form="", controls=LABEL, tabstops="").replace(
            "<width>3</width>", "")
        self.refused(text, "form0.ui:11:", "<rect> of", 'name="Label1"', "has no <width>")

    def test_a_control_without_a_name_is_refused(self):
        nameless = LABEL.replace(' name="Label1"', "")
        self.refused(FORM.format(form="", controls=nameless, tabstops=""),
                     "form0.ui:9:", '<widget class="QLabel">', "has no name")

    def test_a_property_a_label_cannot_have_is_refused(self):
        cases = [
            # One the window cannot show.
            ("""<property name="wordWrap">
    <bool>true</bool>
   </property>""", ["form0.ui:14:", "has the property wordWrap"]),
            # An event a label does not have.
            ("""<property name="OnClick" stdset="0">
    <string>Label1Click</string>
   </property>""", ['name="Label1"', "has the property OnClick"]),
        ]
        for prop, expected in cases:
            with self.subTest(prop):
                label = LABEL.replace("  </widget>", f"   {prop}\n  </widget>")
                self.refused(FORM.format(form="", controls=label, tabstops=""), *expected)

    def test_a_combo_box_binds_on_change(self):
        bound = COMBO.replace("  </widget>", """   <property name="OnChange" stdset="0">
    <string>cmbMouseChange</string>
   </property>
  </widget>""")
        status, stderr, table = self.run_on(FORM.format(form="", controls=bound, tabstops=""))
        self.assertEqual(status, 0, stderr)
        self.assertIn('{ControlKind::ComboBox, "cmbMouse", {1, 2, 3, 4}', table)
        self.assertIn('"cmbMouseChange"}', table)

    def test_a_combo_box_takes_its_items_in_code_only_and_is_a_drop_down_list(self):
        cases = [
            ("""<item>
    <property name="text">
     <string>Mouse 1</string>
    </property>
   </item>""", ["form0.ui:13:", 'name="cmbMouse"', "lists items", "given in code"]),
            ("""<property name="editable">
    <bool>true</bool>
   </property>""", ["form0.ui:14:", "has the property editable"]),
            ("""<property name="OnClick" stdset="0">
    <string>cmbMouseClick</string>
   </property>""", ['name="cmbMouse"', "has the property OnClick"]),
        ]
        for child, expected in cases:
            with self.subTest(child):
                spoilt = COMBO.replace("  </widget>", f"   {child}\n  </widget>")
                self.refused(FORM.format(form="", controls=spoilt, tabstops=""), *expected)

    def test_a_handler_name_must_be_a_name(self):
        form = """  <property name="OnCreate" stdset="0">
   <string>Form Create</string>
  </property>"""
        self.refused(FORM.format(form=form, controls="", tabstops=""),
                     "form0.ui:9:", "OnCreate of", "'Form Create'")

    def test_a_bad_pixel_size_is_refused(self):
        form = """  <property name="fontPixelSize" stdset="0">
   <number>0</number>
  </property>"""
        self.refused(FORM.format(form=form, controls="", tabstops=""),
                     "form0.ui:9:", "fontPixelSize", "positive")

    def test_a_tab_stop_naming_no_control_is_refused(self):
        self.refused(FORM.format(form="", controls=LABEL, tabstops="  <tabstop>Gone</tabstop>"),
                     "form0.ui:16:", "the tab stop Gone names no control")

    def test_broken_xml_names_its_line(self):
        self.refused(FORM.format(form="", controls=LABEL, tabstops="").replace("</rect>", "", 1),
                     "form0.ui:7:", "not well-formed")

    def test_two_forms_of_one_name_are_refused(self):
        text = FORM.format(form="", controls="", tabstops="")
        status, stderr, table = self.run_on(text, text)
        self.assertEqual(status, 1)
        self.assertIsNone(table)
        self.assertIn("form1.ui: the form name Form9 is taken by form0.ui", stderr)


if __name__ == "__main__":
    unittest.main()
