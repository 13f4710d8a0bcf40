"""Renders the conda recipe as conda-build would and checks it against the build.

Usage: test_conda_recipe.py SOURCE_DIR. Exits 77 (skipped) without python3-jinja2 or
python3-yaml.
"""
import os
import re
import sys
import unittest

try:
    import jinja2
    import yaml
except ImportError as missing:
    print(f"SKIP: {missing.name} is not installed (tools/install-deps.sh installs it)")
    sys.exit(77)

SOURCE = sys.argv[1]
RECIPE = os.path.join(SOURCE, "packaging", "conda")


def read(*parts):
    with open(os.path.join(*parts)) as file:
        return file.read()


def render():
    # conda-build's own helpers, reduced to what they return for a Linux build.
    helpers = {
        "compiler": lambda language: f"{language}_compiler_stub",
        "pin_subpackage": lambda name, max_pin=None, exact=False: f"{name} (pinned {max_pin})",
        "environ": os.environ,
    }
    template = jinja2.Environment(undefined=jinja2.StrictUndefined).from_string(
        read(RECIPE, "meta.yaml"))
    return yaml.safe_load(template.render(**helpers))


class Recipe(unittest.TestCase):
    def setUp(self):
        self.recipe = render()

    def test_version_and_licence_are_the_project_s(self):
        version = re.search(r"project\(Scalesum VERSION (\S+)", read(SOURCE, "CMakeLists.txt"))
        self.assertEqual(self.recipe["package"]["version"], version.group(1))
        self.assertEqual(self.recipe["package"]["name"], "scalesum")
        about = self.recipe["about"]
        self.assertEqual((about["license"], about["license_family"]), ("MIT", "MIT"))
        self.assertTrue(os.path.isfile(os.path.join(SOURCE, about["license_file"])))
        self.assertIn("MIT License", read(SOURCE, about["license_file"]))
        self.assertIn("SPDX-License-Identifier: MIT", read(SOURCE, "README.md"))

    def test_requirements_and_run_exports_follow_the_conventions(self):
        requirements = self.recipe["requirements"]
        self.assertIn("cxx_compiler_stub", requirements["build"])
        self.assertTrue(any(entry.startswith("cmake") for entry in requirements["build"]))
        self.assertIn("zlib", requirements["host"])
        self.assertEqual(self.recipe["build"]["run_exports"], ["scalesum (pinned x)"])
        self.assertIsInstance(self.recipe["build"]["number"], int)
        self.assertIn("sha256", self.recipe["source"])

    def test_the_tests_run_version_help_and_the_example(self):
        commands = self.recipe["test"]["commands"]
        version = self.recipe["package"]["version"]
        self.assertIn(f'Scalesum --version | grep -x "Scalesum {version}"', commands)
        self.assertTrue(any(command.startswith("Scalesum --help") for command in commands))
        self.assertIn("Scalesum examples/example.log examples/example.options > report.tsv",
                      commands)
        for path in self.recipe["test"]["source_files"]:
            self.assertTrue(os.path.isfile(os.path.join(SOURCE, path)), path)

    def test_nothing_asks_for_the_build_machine_s_instruction_set(self):
        build = read(RECIPE, "build.sh")
        self.assertIn("${CMAKE_ARGS}", build)
        self.assertIn('-DCMAKE_INSTALL_PREFIX="${PREFIX}"', build)
        for text in (build, read(RECIPE, "meta.yaml"), read(SOURCE, "CMakeLists.txt"),
                     read(SOURCE, "cmake", "DensityKernels.cmake")):
            self.assertNotIn("-march=native", text)
            self.assertNotIn("-mtune=native", text)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
