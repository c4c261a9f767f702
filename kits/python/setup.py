"""The wheels of this package carry a program built for one platform, and no compiled Python
module: code for any Python 3 ("py3", ABI "none") with the platform tag given to bdist_wheel as
plat_name, taken as written, so that a set of tags such as
manylinux_2_17_x86_64.musllinux_1_1_x86_64 stays one. (bdist_wheel itself would make the dots
underscores, and without plat_name tags the wheel py3-none-any, as it does here too.)"""

from setuptools import setup

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1 leaves bdist_wheel to the wheel package
    from wheel.bdist_wheel import bdist_wheel


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        if not self.plat_name_supplied:
            return super().get_tag()
        return (self.python_tag, "none", self.plat_name)


setup(cmdclass={"bdist_wheel": PlatformWheel})
